// Frame capture as a capture tool reads it: the bridge's "pcap" file opened,
// the frame tracer armed with its capture words, frames through wire ports,
// and the libpcap stream parsed from what the reads return.
#include "wire_bridge.h"

#include <cstring>

using namespace jxtest;

namespace {

const char *const PCAP = "/proc/net/jxbridge/br0/pcap";
const char *const TRACER = "/proc/net/jxbridge/br0/tracer";

struct record {
    u32 sec, usec;
    frame data;
};

struct stream {
    std::string global;
    std::vector<record> records;
    bool ended = false;
};

u32 le32(const std::string &s, size_t at) {
    u32 v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

// Reads what is there with reads of chunk bytes, up to the end of a run.
stream read_stream(struct file *f, size_t chunk) {
    std::string bytes;
    std::vector<char> buf(chunk);
    stream s;
    for (;;) {
        long n = rte_vfs_read(f, buf.data(), chunk);
        if (n == 0)
            s.ended = true;
        if (n <= 0)
            break;
        EXPECT_LE((size_t)n, chunk);
        bytes.append(buf.data(), n);
    }
    size_t at = 0;
    if (bytes.size() >= 24 && le32(bytes, 0) == 0xa1b2c3d4) {
        s.global = bytes.substr(0, 24);
        at = 24;
    }
    while (at + 16 <= bytes.size()) {
        u32 incl = le32(bytes, at + 8);
        EXPECT_EQ(incl, le32(bytes, at + 12));
        if (at + 16 + incl > bytes.size())
            break;
        record r{le32(bytes, at), le32(bytes, at + 4), {}};
        r.data.assign(bytes.begin() + at + 16, bytes.begin() + at + 16 + incl);
        s.records.push_back(r);
        at += 16 + incl;
    }
    EXPECT_EQ(at, bytes.size());
    return s;
}

struct file *open_reader(int flags = O_NONBLOCK) {
    struct file *f = nullptr;
    EXPECT_EQ(rte_vfs_open(PCAP, O_RDONLY | flags, &f), 0);
    return f;
}

class PcapTest : public WireBridgeTest {};

TEST_F(PcapTest, ReadersGetTheStreamAnnotationsAndTheEndOfARun) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    rx(b, eth(mac(1), mac(2), 0x0800)); // b's station is known: no floods
    drain();
    struct file *early = open_reader();
    ASSERT_GT(proc_write(TRACER, "tracer 2 pcap-only tx annotate"), 0);
    frame f1 = eth(mac(2), mac(1), 0x0800), f2 = eth(mac(2), mac(1), 0x0800, 60);
    rx(a, f1);
    struct file *late = open_reader();
    rte_clock_advance_ms(1500);
    rx(a, f2);
    EXPECT_EQ(tx(b).size(), 2u);

    stream s = read_stream(early, 4096);
    EXPECT_TRUE(s.ended);
    ASSERT_EQ(s.global.size(), 24u);
    EXPECT_EQ(s.global, std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\0\0\0\0\0\0\0\0\xff\xff\0\0"
                                    "\x01\0\0\0",
                                    24));
    ASSERT_EQ(s.records.size(), 4u);
    EXPECT_EQ(s.records[1].data, f1);
    EXPECT_EQ(s.records[3].data, f2);
    // One clock, never backwards.
    EXPECT_GT(s.records[3].sec * 1000000ull + s.records[3].usec,
              s.records[1].sec * 1000000ull + s.records[1].usec);
    EXPECT_GE(s.records[1].sec * 1000000ull + s.records[1].usec,
              s.records[0].sec * 1000000ull + s.records[0].usec);

    // The annotation: broadcast UDP to and from 255.255.255.255 naming both devices.
    const frame &an = s.records[2].data;
    std::string text = "    \r\nFrom:         \r\nwa            \r\nTo:           \r\n"
                       "wb            \r\n\r\n";
    ASSERT_EQ(an.size(), 14 + 20 + 8 + text.size() + 1);
    EXPECT_EQ(frame(an.begin(), an.begin() + 14), frame({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                                         0xff, 0xff, 0xff, 0xff, 0xff, 8, 0}));
    u32 sum = 0;
    for (int i = 14; i < 34; i += 2)
        sum += an[i] << 8 | an[i + 1];
    EXPECT_EQ((sum & 0xFFFF) + (sum >> 16), 0xFFFFu);
    EXPECT_EQ(an[14 + 9], 17);
    EXPECT_EQ(std::string(an.begin() + 42, an.end()), text + std::string(1, '\0'));

    // The late reader has the header and the second frame only; after the end
    // marker the stream is empty again.
    s = read_stream(late, 4096);
    EXPECT_TRUE(s.ended);
    EXPECT_EQ(s.global.size(), 24u);
    ASSERT_EQ(s.records.size(), 2u);
    EXPECT_EQ(s.records[1].data, f2);
    char c;
    EXPECT_EQ(rte_vfs_read(late, &c, 1), -EAGAIN);
    EXPECT_EQ(rte_vfs_poll(late, POLLIN, 0), 0);

    // Anything written but an empty line is taken.
    EXPECT_GT(proc_write(PCAP, "help"), 0);
    EXPECT_GT(proc_write(PCAP, "whatever"), 0);
    EXPECT_EQ(proc_write(PCAP, "\n"), -ENOARG);
    rte_vfs_close(early);
    rte_vfs_close(late);
}

TEST_F(PcapTest, ASlowReaderHoldsAtMost1001RecordsAndReadsInPieces) {
    jxbridge_port *a = port("wa"), *b = port("wb");
    rx(b, eth(mac(1), mac(2), 0x0800)); // b's station is known: no floods
    drain();
    struct file *slow = open_reader(), *gone = open_reader();
    ASSERT_GT(proc_write(TRACER, "tracer 1100 pcap-only rx"), 0);
    frame big = eth(mac(2), mac(1), 0x0800, 1486);
    for (int i = 0; i < 1100; i++) {
        big[20] = (u8)i;
        rx(a, big);
        if (i == 500)
            rte_vfs_close(gone); // a reader leaving mid-run takes its records along
    }
    EXPECT_EQ(tx(b).size(), 1100u);
    EXPECT_EQ(br->tracer.frames_left, 0u);
    EXPECT_EQ(rte_vfs_poll(slow, POLLIN, 0) & POLLIN, POLLIN);
    // Seven bytes at a time: 1500-byte records come out whole over many reads,
    // and the end of the run still arrives behind a full queue.
    stream s = read_stream(slow, 7);
    EXPECT_TRUE(s.ended);
    ASSERT_EQ(s.records.size(), 1001u);
    big[20] = (u8)1000;
    EXPECT_EQ(s.records.back().data, big);
    rte_vfs_close(slow);
}

TEST_F(PcapTest, ABlockedReaderWakesForACapturedFrame) {
    jxbridge_port *a = port("wa");
    port("wb");
    struct file *f = open_reader(0);
    char hdr[24];
    ASSERT_EQ(rte_vfs_read(f, hdr, sizeof(hdr)), 24);
    ASSERT_GT(proc_write(TRACER, "tracer 1 pcap-only rx"), 0);
    frame f1 = eth(mac(2), mac(1), 0x0800);
    {
        BlockedReader r(f);
        rx(a, f1);
        ASSERT_EQ(r.join(), (long)(16 + f1.size()));
        EXPECT_EQ(r.text().substr(16), std::string(f1.begin(), f1.end()));
    }
    rte_vfs_close(f);
}

} // namespace
