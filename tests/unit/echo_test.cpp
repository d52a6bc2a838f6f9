#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "probe/checksum.h"
#include "probe/echo.h"

namespace {

// The sum over a message whose checksum is in place, checked in network
// order by an independent computation: a valid message sums to 0xffff.
uint16_t network_order_sum(const std::vector<uint8_t>& message)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < message.size(); i += 2) {
        uint32_t high = message[i];
        uint32_t low = i + 1 < message.size() ? message[i + 1] : 0;
        sum += high << 8 | low;
    }
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(sum);
}

std::vector<uint8_t> request(uint32_t payload, uint16_t identifier, uint8_t fill, uint8_t type = 8)
{
    std::vector<uint8_t> packet(payload + ECHO_HEADER_BYTES, 0);
    echo_request_init(packet.data(), uint32_t(packet.size()), type, identifier, fill);
    return packet;
}

TEST(EchoRequest, LayoutOfTheFirstRequest)
{
    auto packet = request(5, 0x1234, 0xA7);
    echo_request_next(packet.data(), uint32_t(packet.size()), true);
    EXPECT_EQ(packet[0], 8);
    EXPECT_EQ(packet[1], 0);
    uint16_t identifier;
    memcpy(&identifier, &packet[4], 2);
    EXPECT_EQ(identifier, 0x1234);                       // native order
    EXPECT_EQ(packet[6], 0);                             // sequence 1, big-endian
    EXPECT_EQ(packet[7], 1);
    for (size_t i = 8; i < packet.size(); ++i)
        EXPECT_EQ(packet[i], 0xA7) << i;
    EXPECT_EQ(network_order_sum(packet), 0xFFFF);
}

TEST(EchoRequest, IdentifierNativeSequenceBigEndianOnAnyMachine)
{
    auto packet = request(3, 0x1234, 0x5A);
    for (int i = 0; i < 0x102; ++i)
        echo_request_next(packet.data(), uint32_t(packet.size()), true);
    // The identifier as the machine stores a 16-bit number.
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(packet[4], 0x34);
        EXPECT_EQ(packet[5], 0x12);
    } else {
        EXPECT_EQ(packet[4], 0x12);
        EXPECT_EQ(packet[5], 0x34);
    }
    EXPECT_EQ(packet[6], 0x01);                           // sequence 0x0102, big-endian
    EXPECT_EQ(packet[7], 0x02);
    EXPECT_EQ(network_order_sum(packet), 0xFFFF);        // valid on the wire
}

TEST(EchoRequest, ChecksumValidForOddEvenAndEmptyPayloads)
{
    for (uint32_t payload : {0u, 1u, 2u, 3u, 55u, 56u, 1471u}) {
        for (uint8_t fill : {uint8_t(0x00), uint8_t(0x80), uint8_t(0xFF)}) {
            auto packet = request(payload, 0xFFEE, fill);
            for (int round = 0; round < 3; ++round) {
                echo_request_next(packet.data(), uint32_t(packet.size()), true);
                EXPECT_EQ(network_order_sum(packet), 0xFFFF) << payload << " " << int(fill);
            }
        }
    }
}

TEST(EchoRequest, SequenceCountsUpAndWrapsTo0)
{
    auto packet = request(0, 1, 0);
    for (int i = 1; i <= 300; ++i) {
        echo_request_next(packet.data(), uint32_t(packet.size()), true);
        EXPECT_EQ(echo_request_sequence(packet.data()), i);
    }
    packet[6] = 0xFF;
    packet[7] = 0xFE;
    echo_request_next(packet.data(), uint32_t(packet.size()), true);
    EXPECT_EQ(echo_request_sequence(packet.data()), 65535);
    echo_request_next(packet.data(), uint32_t(packet.size()), true);
    EXPECT_EQ(echo_request_sequence(packet.data()), 0);
    EXPECT_EQ(network_order_sum(packet), 0xFFFF);
}

TEST(EchoRequest, Ipv6LeavesTheChecksumToTheKernel)
{
    auto packet = request(4, 7, 9, 128);
    echo_request_next(packet.data(), uint32_t(packet.size()), false);
    EXPECT_EQ(packet[0], 128);
    EXPECT_EQ(packet[2], 0);
    EXPECT_EQ(packet[3], 0);
    EXPECT_EQ(echo_request_sequence(packet.data()), 1);
}

// An IPv4 datagram as the raw socket delivers it: header then ICMP message.
std::vector<uint8_t> ipv4_datagram(const std::vector<uint8_t>& message, size_t header_bytes)
{
    std::vector<uint8_t> datagram(header_bytes, 0);
    datagram[0] = uint8_t(0x40 | header_bytes / 4);
    datagram.insert(datagram.end(), message.begin(), message.end());
    return datagram;
}

std::vector<uint8_t> reply_to(std::vector<uint8_t> sent)
{
    sent[0] = 0;  // echo reply
    return sent;
}

TEST(EchoReply, MatchesOnIdentifierAndSequenceBehindTheHeader)
{
    auto sent = request(16, 0x4321, 0x55);
    echo_request_next(sent.data(), uint32_t(sent.size()), true);
    auto datagram = ipv4_datagram(reply_to(sent), 20);
    uint32_t reply_bytes = 0;
    EXPECT_TRUE(echo_reply_matches(datagram.data(), datagram.size(), true, sent.data(), &reply_bytes));
    EXPECT_EQ(reply_bytes, sent.size());

    // With 40 bytes of IP options the message starts later.
    auto with_options = ipv4_datagram(reply_to(sent), 60);
    EXPECT_TRUE(echo_reply_matches(with_options.data(), with_options.size(), true, sent.data(),
                                   &reply_bytes));
    EXPECT_EQ(reply_bytes, sent.size());
    // Cut to the receive area (payload + 28), only 4 bytes of the message
    // remain: no match.
    EXPECT_FALSE(echo_reply_matches(with_options.data(), 16 + 28, true, sent.data(), &reply_bytes));

    // With a larger payload the cut message still holds identifier and
    // sequence, and is 40 bytes shorter than sent.
    auto large = request(48, 0x4321, 0x55);
    echo_request_next(large.data(), uint32_t(large.size()), true);
    auto large_options = ipv4_datagram(reply_to(large), 60);
    EXPECT_TRUE(echo_reply_matches(large_options.data(), 48 + 28, true, large.data(), &reply_bytes));
    EXPECT_EQ(reply_bytes, large.size() - 40);
}

TEST(EchoReply, ForeignLateAndShortDatagramsDoNotMatch)
{
    auto sent = request(0, 0x4321, 0);
    echo_request_next(sent.data(), uint32_t(sent.size()), true);
    auto late = sent;                           // the earlier request's reply
    echo_request_next(sent.data(), uint32_t(sent.size()), true);
    uint32_t reply_bytes = 99;

    auto late_reply = ipv4_datagram(reply_to(late), 20);
    EXPECT_FALSE(echo_reply_matches(late_reply.data(), late_reply.size(), true, sent.data(), &reply_bytes));

    auto foreign = reply_to(sent);
    foreign[4] ^= 1;
    auto foreign_reply = ipv4_datagram(foreign, 20);
    EXPECT_FALSE(echo_reply_matches(foreign_reply.data(), foreign_reply.size(), true, sent.data(), &reply_bytes));

    auto ok = ipv4_datagram(reply_to(sent), 20);
    for (size_t received = 1; received < 28; ++received)
        EXPECT_FALSE(echo_reply_matches(ok.data(), received, true, sent.data(), &reply_bytes)) << received;
    EXPECT_TRUE(echo_reply_matches(ok.data(), 28, true, sent.data(), &reply_bytes));

    // A header length that claims more than was received.
    reply_bytes = 99;
    auto options = ipv4_datagram(reply_to(sent), 60);
    EXPECT_FALSE(echo_reply_matches(options.data(), 28, true, sent.data(), &reply_bytes));
    EXPECT_FALSE(echo_reply_matches(options.data(), 0, true, sent.data(), &reply_bytes));
    EXPECT_EQ(reply_bytes, 99u);  // untouched without a match
}

TEST(EchoReply, Ipv6MessagesStartAtByte0)
{
    auto sent = request(3, 0xBEEF, 1, 128);
    echo_request_next(sent.data(), uint32_t(sent.size()), false);
    auto reply = sent;
    reply[0] = 129;
    reply.resize(reply.size() + 40, 0);  // longer than sent: received whole
    uint32_t reply_bytes = 0;
    EXPECT_TRUE(echo_reply_matches(reply.data(), reply.size(), false, sent.data(), &reply_bytes));
    EXPECT_EQ(reply_bytes, sent.size() + 40);
    EXPECT_FALSE(echo_reply_matches(reply.data(), 7, false, sent.data(), &reply_bytes));
    // Read as IPv4, the first byte 129 claims a 4-byte header: no match.
    EXPECT_FALSE(echo_reply_matches(reply.data(), reply.size(), true, sent.data(), &reply_bytes));
}

TEST(Checksum, AgreesWithANetworkOrderSumForManyLengths)
{
    std::vector<uint8_t> data;
    uint32_t seed = 12345;
    for (size_t length = 0; length < 300; ++length) {
        data.resize(length + 2);
        data[0] = data[1] = 0;
        for (size_t i = 2; i < data.size(); ++i) {
            seed = seed * 1103515245 + 12345;
            data[i] = uint8_t(seed >> 16);
        }
        // Put the checksum over bytes 2.. at the front; the whole then sums to ffff.
        uint16_t checksum = internet_checksum(data.data() + 2, length);
        memcpy(data.data(), &checksum, 2);
        std::vector<uint8_t> whole = data;
        if (length % 2 == 1)
            whole.push_back(0);
        EXPECT_EQ(network_order_sum(whole), 0xFFFF) << length;
    }
}

} // namespace
