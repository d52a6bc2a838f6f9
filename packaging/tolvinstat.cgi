#!/bin/sh
# The status page, /metrics and /rtt.svg through CGI: copy to the web
# server's cgi-bin (OpenWrt's uhttpd: /www/cgi-bin/tolvinstat; BusyBox httpd:
# DIR/cgi-bin/tolvinstat) and open http://ROUTER/cgi-bin/tolvinstat.
exec /opt/tolvin/bin/tolvinstat --cgi
