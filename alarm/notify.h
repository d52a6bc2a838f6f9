// The messages that leave the router for an alarm: SNMP trap, e-mails and SMS,
// each sent by running one of the router's tools.
#pragma once

#include <cstddef>

enum EventKind { EVENT_FAILED = 0, EVENT_LOST = 1, EVENT_REESTABLISHED = 2 };

// Alarm names at EventKind, trap OIDs at EventKind + 3 (no trap for
// EVENT_REESTABLISHED).
inline constexpr const char* AlarmTexts[5] = {
    "line failed",
    "line lost",
    "line re-established",
    "1.3.6.1.2.1.80.0.1.0",   // DISMAN-PING-MIB pingProbeFailed
    "1.3.6.1.2.1.80.0.2.0",   // DISMAN-PING-MIB pingTestFailed
};

// Buffer sizes, the terminating NUL included; longer texts are cut.
inline constexpr size_t TRAP_MESSAGE_BYTES = 128;
inline constexpr size_t EMAIL_SUBJECT_BYTES = 128;
inline constexpr size_t EMAIL_BODY_BYTES = 256;
inline constexpr size_t SMS_MESSAGE_BYTES = 160;

inline constexpr const char* SNMPTRAP_PATH = "/usr/bin/snmptrap";
inline constexpr const char* EMAIL_PATH = "/usr/bin/email";
inline constexpr const char* SMS_PATH = "/usr/bin/sms";

// `text` describes the alarm (when the line last worked); `router` is the
// router's name. Each sends one message per non-empty recipient, in order,
// and waits for each; results are ignored.
void send_trap(EventKind kind, const char* text, const char* host);
void send_emails(EventKind kind, const char* text, const char* router,
                 const char* const addresses[3]);
// The same for an alarm of another name ("line degraded").
void send_emails_named(const char* name, const char* text, const char* router,
                       const char* const addresses[3]);
void send_sms(EventKind kind, const char* text, const char* router,
              const char* const numbers[12]);

// True when any of the `count` recipients is non-empty.
bool any_recipient(const char* const recipients[], size_t count);
