// The model driven through its SPI byte layer, as a driver drives the chip.
#include "enc28j60_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace {

using enc28j60::Bytes;
using enc28j60::Device;
namespace reg = enc28j60::reg;

constexpr std::uint8_t OWN[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr std::uint64_t START_UP_CYCLES = 3000;  // 300 us at 100 ns

struct Chip {
  Device device;
  std::vector<Bytes> sent;
  std::vector<std::string> faults;

  explicit Chip(bool started = true) {
    device.on_transmit([this](const Bytes& f) { sent.push_back(f); });
    device.on_fault([this](const std::string& m) { faults.push_back(m); });
    if (started) device.tick(START_UP_CYCLES);
  }
  std::uint8_t spi(std::initializer_list<std::uint8_t> bytes) {
    std::uint8_t last = 0;
    device.select();
    for (std::uint8_t b : bytes) last = device.exchange(b);
    device.deselect();
    return last;
  }
  void bank(std::uint8_t b) {
    spi({0xBF, 0x03});  // BFC ECON1 BSEL
    if (b) spi({0x9F, b});
  }
  void wcr(std::uint8_t bank_number, std::uint8_t address, std::uint8_t value) {
    if (address < 0x1B) bank(bank_number);
    spi({static_cast<std::uint8_t>(0x40 | address), value});
  }
  void wcr16(std::uint8_t low, std::uint16_t value) {
    wcr(0, low, static_cast<std::uint8_t>(value));
    wcr(0, static_cast<std::uint8_t>(low + 1),
        static_cast<std::uint8_t>(value >> 8));
  }
  std::uint8_t rcr(std::uint8_t bank_number, std::uint8_t address) {
    if (address < 0x1B) bank(bank_number);
    return spi({address, 0});
  }
  std::uint8_t rcr_mac(std::uint8_t bank_number, std::uint8_t address) {
    bank(bank_number);
    return spi({address, 0, 0});  // after the dummy byte
  }
  void bfs(std::uint8_t address, std::uint8_t mask) {
    spi({static_cast<std::uint8_t>(0x80 | address), mask});
  }
  void bfc(std::uint8_t address, std::uint8_t mask) {
    spi({static_cast<std::uint8_t>(0xA0 | address), mask});
  }
  Bytes read_buffer(std::uint16_t from, std::size_t count) {
    wcr16(reg::ERDPTL, from);
    Bytes out;
    device.select();
    device.exchange(0x3A);
    for (std::size_t i = 0; i < count; ++i) out.push_back(device.exchange(0));
    device.deselect();
    return out;
  }
  void write_buffer(std::uint16_t at, const Bytes& bytes) {
    wcr16(reg::EWRPTL, at);
    device.select();
    device.exchange(0x7A);
    for (std::uint8_t b : bytes) device.exchange(b);
    device.deselect();
  }
  void mii_write(std::uint8_t address, std::uint16_t value) {
    wcr(2, reg::MIREGADR, address);
    wcr(2, reg::MIWRL, static_cast<std::uint8_t>(value));
    wcr(2, reg::MIWRH, static_cast<std::uint8_t>(value >> 8));
  }
  // The driver's start: ring 0..ring_end, MAC address, padding and CRC.
  void init(std::uint16_t ring_end, std::uint8_t filters = 0xA1) {
    wcr16(reg::ERXSTL, 0);
    wcr16(reg::ERXNDL, ring_end);
    wcr16(reg::ERXRDPTL, ring_end);
    wcr(1, reg::ERXFCON, filters);
    wcr(2, reg::MACON1, 0x01);  // MARXEN
    wcr(2, reg::MACON3, 0x30);  // pad to 60, CRC
    const std::uint8_t order[] = {reg::MAADR1, reg::MAADR2, reg::MAADR3,
                                  reg::MAADR4, reg::MAADR5, reg::MAADR6};
    for (int i = 0; i < 6; ++i) wcr(3, order[i], OWN[i]);
    bfs(reg::ECON1, 0x04);  // RXEN
  }
  void arrive(const Bytes& frame) {
    device.receive(frame);
    device.tick(20000);  // past the wire time of any frame
  }
  std::uint8_t packets() { return rcr(1, reg::EPKTCNT); }
  void free_to(std::uint16_t next, std::uint16_t ring_end) {
    wcr16(reg::ERXRDPTL,
          next == 0 ? ring_end : static_cast<std::uint16_t>(next - 1));
    bfs(reg::ECON2, 0x40);  // PKTDEC
  }
  // reset: errata 12's first workaround, TXRST before each transmission.
  void transmit(std::uint16_t at, const Bytes& frame, bool reset = true) {
    if (reset) {
      bfs(reg::ECON1, 0x80);  // TXRST, then clear it and TXERIF
      bfc(reg::ECON1, 0x80);
      bfc(reg::EIR, 0x02);
    }
    Bytes with_control = {0x00};
    with_control.insert(with_control.end(), frame.begin(), frame.end());
    write_buffer(at, with_control);
    wcr16(reg::ETXSTL, at);
    wcr16(reg::ETXNDL, static_cast<std::uint16_t>(at + frame.size()));
    bfs(reg::ECON1, 0x08);  // TXRTS
  }
};

Bytes frame_to(std::initializer_list<std::uint8_t> destination,
               std::size_t size, std::uint16_t type = 0x0800) {
  Bytes frame(destination);
  frame.insert(frame.end(), OWN, OWN + 6);
  frame.push_back(static_cast<std::uint8_t>(type >> 8));
  frame.push_back(static_cast<std::uint8_t>(type));
  for (std::size_t i = frame.size(); i < size; ++i)
    frame.push_back(static_cast<std::uint8_t>(i * 7));
  return frame;
}

Bytes unicast(std::size_t size) {
  return enc28j60::with_fcs(
      frame_to({OWN[0], OWN[1], OWN[2], OWN[3], OWN[4], OWN[5]}, size - 4));
}

TEST(Enc28j60Receive, RingWrapsInsideAPacketAndReadsBackWhole) {
  Chip chip;
  chip.init(0x00FF);  // 256 bytes: the third 100-byte frame wraps
  std::uint16_t start = 0;
  for (int round = 0; round < 4; ++round) {
    const Bytes frame = unicast(100);
    chip.arrive(frame);
    ASSERT_EQ(chip.packets(), 1) << round;
    EXPECT_EQ(chip.rcr(0, reg::EIR) & 0x40, 0)
        << "PKTIF reads clear (errata 6)";
    const Bytes stored = chip.read_buffer(start, 6 + frame.size());
    const std::uint16_t next =
        static_cast<std::uint16_t>(stored[0] | stored[1] << 8);
    EXPECT_EQ(next, (start + 106) % 256) << round;
    EXPECT_EQ(Bytes(stored.begin() + 6, stored.end()), frame) << round;
    chip.free_to(next, 0x00FF);
    start = next;
  }
  EXPECT_EQ(chip.packets(), 0);
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Receive, FullRingDropsWithRxerifUntilSpaceIsFreed) {
  Chip chip;
  chip.init(0x00FF);
  for (int i = 0; i < 3; ++i) chip.arrive(unicast(80));  // 86 each: two fit
  EXPECT_EQ(chip.packets(), 2);
  EXPECT_EQ(chip.rcr(0, reg::EIR) & 0x01, 0x01);  // RXERIF
  EXPECT_EQ(chip.rcr(0, reg::ESTAT) & 0x40, 0);   // not BUFER
  chip.free_to(86, 0x00FF);
  chip.arrive(unicast(80));
  EXPECT_EQ(chip.packets(), 2);  // one decremented, one more stored
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Receive, FiltersAsErxfconSays) {
  const Bytes own = unicast(64);
  Bytes bad_crc = own;
  bad_crc.back() ^= 0x01;
  const Bytes other = enc28j60::with_fcs(frame_to({0x02, 9, 9, 9, 9, 9}, 60));
  const Bytes broadcast =
      enc28j60::with_fcs(frame_to({255, 255, 255, 255, 255, 255}, 60));
  const Bytes multicast =
      enc28j60::with_fcs(frame_to({0x01, 0, 0x5E, 0, 0, 1}, 60));
  struct Row {
    const char* name;
    std::uint8_t filters;
    const Bytes& frame;
    bool stored;
  } rows[] = {
      {"unicast to MAADR", 0xA1, own, true},
      {"unicast elsewhere", 0xA1, other, false},
      {"broadcast, BCEN", 0xA1, broadcast, true},
      {"broadcast, UCEN only", 0xA0, broadcast, false},
      {"multicast, MCEN", 0x22, multicast, true},
      {"broadcast, MCEN only", 0x22, broadcast, true},
      {"multicast, UCEN|BCEN", 0xA1, multicast, false},
      {"bad CRC, CRCEN", 0xA1, bad_crc, false},
      {"bad CRC, no filter", 0x00, bad_crc, true},
      {"AND of UCEN and BCEN", 0xE1, own, false},
  };
  for (const Row& row : rows) {
    Chip chip;
    chip.init(0x0FFF, row.filters);
    chip.arrive(row.frame);
    EXPECT_EQ(chip.packets(), row.stored ? 1 : 0) << row.name;
    EXPECT_TRUE(chip.faults.empty()) << row.name;
  }
}

TEST(Enc28j60Receive, StatusVectorByteByByte) {
  Chip chip;
  chip.init(0x0FFF, 0x00);
  const Bytes arp =
      enc28j60::with_fcs(frame_to({255, 255, 255, 255, 255, 255}, 60, 0x0806));
  Bytes bad = unicast(71);
  bad[20] ^= 0xFF;
  chip.arrive(arp);
  chip.arrive(bad);
  // next packet pointer, byte count, then bits 16-31: received OK and
  // type > 1500 (0xC0), broadcast (0x02); the second: odd length padded,
  // CRC error only (0x10 | 0x40), unicast.
  EXPECT_EQ(chip.read_buffer(0, 6), (Bytes{70, 0, 64, 0, 0xC0, 0x02}));
  EXPECT_EQ(chip.read_buffer(70, 6), (Bytes{148, 0, 71, 0, 0x50, 0x00}));
}

TEST(Enc28j60Receive, LengthCheckErrorWithFrmlnen) {
  Chip chip;
  chip.init(0x0FFF, 0x00);
  chip.wcr(2, reg::MACON3, 0x32);  // FRMLNEN
  // a length field of 100 over 47 data bytes, then one of 47 over 47
  chip.arrive(enc28j60::with_fcs(frame_to({2, 9, 9, 9, 9, 9}, 61, 100)));
  chip.arrive(enc28j60::with_fcs(frame_to({2, 9, 9, 9, 9, 9}, 61, 47)));
  EXPECT_EQ(chip.read_buffer(0, 6), (Bytes{72, 0, 65, 0, 0xA0, 0x00}));
  EXPECT_EQ(chip.read_buffer(72, 6), (Bytes{144, 0, 65, 0, 0x80, 0x00}));
}

TEST(Enc28j60Receive, PktieInterruptsWhilePktifReadsClear) {
  Chip chip;
  chip.init(0x0FFF);
  chip.bfs(reg::EIE, 0xC0);  // INTIE, PKTIE
  EXPECT_TRUE(chip.device.int_pin());
  chip.arrive(unicast(64));
  EXPECT_FALSE(chip.device.int_pin()) << "INT low with a packet pending";
  EXPECT_EQ(chip.rcr(0, reg::EIR) & 0x40, 0) << "PKTIF unreliable (errata 6)";
  chip.free_to(70, 0x0FFF);
  EXPECT_TRUE(chip.device.int_pin());
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Registers, PowerOnValues) {
  Chip chip;
  struct Row {
    std::uint8_t bank, address, value;
    bool mac_mii;
  } rows[] = {
      // ECON1 first, while BSEL still reads 0
      {0, reg::ECON1, 0x00, false},    {0, reg::ECON2, 0x80, false},
      {0, reg::EIE, 0x00, false},      {0, reg::EIR, 0x00, false},
      {0, reg::ERDPTL, 0xFA, false},   {0, reg::ERDPTH, 0x05, false},
      {0, reg::EWRPTL, 0x00, false},   {0, reg::ETXNDH, 0x00, false},
      {0, reg::ERXSTL, 0xFA, false},   {0, reg::ERXSTH, 0x05, false},
      {0, reg::ERXNDL, 0xFF, false},   {0, reg::ERXNDH, 0x1F, false},
      {0, reg::ERXRDPTL, 0xFA, false}, {0, reg::ERXRDPTH, 0x05, false},
      {1, reg::ERXFCON, 0xA1, false},  {1, reg::EPKTCNT, 0x00, false},
      {2, reg::MACON1, 0x00, true},    {2, reg::MACON3, 0x00, true},
      {2, 0x08, 0x0F, true},           {2, 0x09, 0x37, true},  // MACLCON
      {2, reg::MAMXFLL, 0x00, true},   {2, reg::MAMXFLH, 0x06, true},
      {3, reg::MAADR1, 0x00, true},    {3, reg::EREVID, 0x06, false},
      {3, 0x15, 0x04, false},          {3, 0x19, 0x10, false},  // ECOCON, EPAUSH
  };
  for (const Row& row : rows)
    EXPECT_EQ(row.mac_mii ? chip.rcr_mac(row.bank, row.address)
                          : chip.rcr(row.bank, row.address),
              row.value)
        << "bank " << int{row.bank} << " register " << int{row.address};
  EXPECT_EQ(chip.rcr(0, reg::ESTAT) & 0x01, 0x01);  // CLKRDY once started
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Registers, EthRegistersAndBufferBeforeClkrdy) {
  Chip chip(false);  // DS39662 2.2 names only MAC, MII, PHY, TX and RX
  chip.wcr16(reg::ERXNDL, 0x0FFF);
  chip.write_buffer(0x1000, {1, 2, 3});
  EXPECT_EQ(chip.read_buffer(0x1000, 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(chip.rcr(0, reg::ESTAT) & 0x01, 0);
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Transmit, ResetOnlyAfterATransmitError) {
  Chip chip;
  chip.init(0x0FFF);
  const Bytes frame = frame_to({0x02, 9, 9, 9, 9, 9}, 60);
  chip.transmit(0x1000, frame, false);  // errata 12's second workaround
  chip.device.tick(1000);
  chip.transmit(0x1000, frame, false);
  chip.device.tick(1000);
  EXPECT_EQ(chip.sent.size(), 2u);
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Transmit, PaddedFrameWithCrcAndStatusVectorAfterEtxnd) {
  Chip chip;
  chip.init(0x0FFF);
  const Bytes frame = frame_to({0x02, 9, 9, 9, 9, 9}, 42);
  chip.transmit(0x1000, frame);
  chip.device.tick(600);  // 84 bytes on the wire take 672 cycles
  EXPECT_EQ(chip.rcr(0, reg::ECON1) & 0x08, 0x08) << "TXRTS still set";
  EXPECT_TRUE(chip.sent.empty());
  chip.device.tick(100);
  EXPECT_EQ(chip.rcr(0, reg::ECON1) & 0x08, 0);
  EXPECT_EQ(chip.rcr(0, reg::EIR) & 0x08, 0x08);  // TXIF
  Bytes padded = frame;
  padded.resize(60, 0);
  ASSERT_EQ(chip.sent.size(), 1u);
  EXPECT_EQ(chip.sent[0], enc28j60::with_fcs(padded));
  // count 64, done and type > 1500, unicast, 64 on the wire, no flags
  EXPECT_EQ(chip.read_buffer(0x1000 + 43, 7),
            (Bytes{64, 0, 0xC0, 0x00, 64, 0, 0}));
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Mii, BusyForTenMicrosecondsAndLinkUpAfterStart) {
  Chip chip;
  chip.mii_write(enc28j60::phy::PHLCON, 0x0476);
  EXPECT_EQ(chip.rcr_mac(3, reg::MISTAT) & 1, 1);
  chip.device.tick(101);  // 10.1 us
  EXPECT_EQ(chip.rcr_mac(3, reg::MISTAT) & 1, 1);
  chip.device.tick(2);
  EXPECT_EQ(chip.rcr_mac(3, reg::MISTAT) & 1, 0);
  chip.wcr(2, reg::MIREGADR, enc28j60::phy::PHSTAT2);
  chip.wcr(2, reg::MICMD, 0x01);
  chip.device.tick(103);
  chip.wcr(2, reg::MICMD, 0x00);
  EXPECT_EQ(chip.rcr_mac(2, reg::MIRDH) & 0x04, 0x04);  // LSTAT
  EXPECT_TRUE(chip.faults.empty()) << chip.faults.front();
}

TEST(Enc28j60Strict, EachMisuseEndsTheRunNamingIt) {
  struct Row {
    const char* expected;
    std::function<void(Chip&)> misuse;
  } rows[] = {
      {"TXRTS set while a transmission is pending",
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 60));
         c.bfs(reg::ECON1, 0x08);
       }},
      {"read (RBM) inside the frame being transmitted",  // DS39662 7.1
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 60));
         c.read_buffer(0x1008, 2);
       }},
      {"ETXST/ETXND written during a transmission",
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 60));
         c.wcr(0, reg::ETXNDL, 0x80);
       }},
      {"errata 12",  // a transmit error pending, and no reset
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 60));
         c.device.tick(1000);
         c.bfs(reg::EIR, 0x02);
         c.bfs(reg::ECON1, 0x08);
       }},
      {"aborted by ECON1.TXRST while its frame is on the wire",
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 1514));
         c.device.tick(2000);
         c.bfs(reg::ECON1, 0x80);
       }},
      {"aborted by clearing ECON1.TXRTS",
       [](Chip& c) {
         c.transmit(0x1000, frame_to({2, 9, 9, 9, 9, 9}, 60));
         c.bfc(reg::ECON1, 0x08);
       }},
      {"errata 1 (MAC Interface)",  // the MSSP at Fosc/16: 2.5 MHz
       [](Chip& c) {
         c.device.set_sck_period_ns(400);
         c.rcr_mac(2, reg::MACON1);
       }},
      {"ERXRDPT set to even", [](Chip& c) { c.wcr16(reg::ERXRDPTL, 0x0100); }},
      {"not at a packet boundary",
       [](Chip& c) {
         c.arrive(unicast(64));
         c.wcr16(reg::ERXRDPTL, 0x0021);
       }},
      {"PKTDEC with EPKTCNT 0", [](Chip& c) { c.bfs(reg::ECON2, 0x40); }},
      {"register 0x0000 (bank 2) accessed before ESTAT.CLKRDY",
       [](Chip& c) {  // ignored until ESTAT is read
         c.device.power_cycle();
         c.rcr_mac(2, reg::MACON1);
         c.spi({reg::ESTAT, 0});
         c.rcr_mac(2, reg::MACON1);
       }},
      {"RXEN set before ESTAT.CLKRDY",
       [](Chip& c) {
         c.device.power_cycle();
         c.spi({reg::ESTAT, 0});
         c.bfs(reg::ECON1, 0x04);
       }},
      {"ended after the dummy byte",
       [](Chip& c) {
         c.bank(2);
         c.spi({reg::MACON1, 0});
       }},
      {"less than 1 ms after the System Reset",
       [](Chip& c) {
         c.spi({0xFF});
         c.device.tick(9000);
         c.rcr_mac(2, reg::MACON1);
       }},
      {"written while MISTAT.BUSY",
       [](Chip& c) {
         c.mii_write(enc28j60::phy::PHLCON, 1);
         c.wcr(2, reg::MIREGADR, 0);
       }},
      {"errata 5",
       [](Chip& c) {
         c.bfc(reg::ECON1, 0x04);
         c.wcr16(reg::ERXSTL, 0x0800);
         c.wcr16(reg::ERXRDPTL, 0x0FFF);
         c.bfs(reg::ECON1, 0x04);
       }},
      {"errata 15",
       [](Chip& c) {
         c.bfs(reg::ECON1, 0x10);
         c.bfs(reg::ECON1, 0x20);
       }},
      {"CS raised after 3 bits",
       [](Chip& c) {
         c.device.set_cs(false);
         for (int i = 0; i < 6; ++i) c.device.set_sck(i % 2 == 0, false);
         c.device.set_cs(true);
       }},
  };
  for (const Row& row : rows) {
    Chip chip;
    chip.init(0x0FFF);
    ASSERT_TRUE(chip.faults.empty())
        << row.expected << ": " << chip.faults.front();
    row.misuse(chip);
    ASSERT_EQ(chip.faults.size(), 1u) << row.expected;
    EXPECT_NE(chip.faults[0].find(row.expected), std::string::npos)
        << row.expected << " in: " << chip.faults[0];
  }
}

}  // namespace
