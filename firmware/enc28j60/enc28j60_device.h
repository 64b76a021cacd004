// A model of the ENC28J60 Ethernet controller (revision B7) as its data
// sheet describes it, stricter than the chip: a misuse that silicon would
// survive by luck, or fail on later, is reported through the fault sink.
// No simulator dependency: the gpsim module drives it through its pins,
// the tests through the byte-level SPI calls.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace enc28j60 {

using Bytes = std::vector<std::uint8_t>;

// The IEEE 802.3 CRC-32 of `bytes`: the value of the frame check sequence,
// which goes on the wire least significant byte first.
std::uint32_t ethernet_crc(std::span<const std::uint8_t> bytes);
// `frame` followed by its four FCS bytes.
Bytes with_fcs(Bytes frame);

struct Timing {
  std::uint64_t ns_per_cycle = 100;         // PIC18 at 40 MHz: 10 MIPS
  std::uint64_t slowest_mac_sck_ns = 125;   // 8 MHz (errata 1)
  std::uint64_t start_up_ns = 300'000;      // oscillator start-up timer
  std::uint64_t reset_wait_ns = 1'000'000;  // after the reset command
  std::uint64_t mii_busy_ns = 10'240;       // one MII management cycle
  std::uint64_t ns_per_wire_byte = 800;     // 10 Mb/s
};

// Control register addresses (5 bits) and bank numbers, DS39662 table 3-1.
namespace reg {
constexpr std::uint8_t EIE = 0x1B, EIR = 0x1C, ESTAT = 0x1D, ECON2 = 0x1E,
                       ECON1 = 0x1F;
// bank 0
constexpr std::uint8_t ERDPTL = 0x00, ERDPTH = 0x01, EWRPTL = 0x02,
                       EWRPTH = 0x03, ETXSTL = 0x04, ETXSTH = 0x05,
                       ETXNDL = 0x06, ETXNDH = 0x07, ERXSTL = 0x08,
                       ERXSTH = 0x09, ERXNDL = 0x0A, ERXNDH = 0x0B,
                       ERXRDPTL = 0x0C, ERXRDPTH = 0x0D, ERXWRPTL = 0x0E,
                       ERXWRPTH = 0x0F, EDMASTL = 0x10, EDMASTH = 0x11,
                       EDMANDL = 0x12, EDMANDH = 0x13, EDMADSTL = 0x14,
                       EDMADSTH = 0x15;
// bank 1
constexpr std::uint8_t ERXFCON = 0x18, EPKTCNT = 0x19;
// bank 2
constexpr std::uint8_t MACON1 = 0x00, MACON3 = 0x02, MACON4 = 0x03,
                       MAMXFLL = 0x0A, MAMXFLH = 0x0B, MICMD = 0x12,
                       MIREGADR = 0x14, MIWRL = 0x16, MIWRH = 0x17,
                       MIRDL = 0x18, MIRDH = 0x19;
// bank 3
constexpr std::uint8_t MAADR5 = 0x00, MAADR6 = 0x01, MAADR3 = 0x02,
                       MAADR4 = 0x03, MAADR1 = 0x04, MAADR2 = 0x05,
                       MISTAT = 0x0A, EREVID = 0x12;
}  // namespace reg

// PHY register addresses (MIREGADR).
namespace phy {
constexpr std::uint8_t PHCON1 = 0x00, PHSTAT1 = 0x01, PHID1 = 0x02,
                       PHID2 = 0x03, PHCON2 = 0x10, PHSTAT2 = 0x11, PHIE = 0x12,
                       PHIR = 0x13, PHLCON = 0x14;
}

class Device {
 public:
  using FrameSink = std::function<void(const Bytes&)>;
  using FaultSink = std::function<void(const std::string&)>;

  explicit Device(Timing timing = {});

  // A transmitted frame, with its FCS, when its last bit has left.
  void on_transmit(FrameSink sink) { transmit_sink_ = std::move(sink); }
  // The first misuse only; the model keeps running after it.
  void on_fault(FaultSink sink) { fault_sink_ = std::move(sink); }

  // Pin level: mode 0,0. SI is sampled on SCK's rising edge, SO changes on
  // its falling edge and when CS falls.
  void set_cs(bool level);
  void set_sck(bool level, bool si);
  bool so() const { return so_; }
  // false while an enabled interrupt is pending (the pin is active low).
  bool int_pin() const;

  // Byte level, between select() and deselect(): the byte SO carried while
  // `si` went in.
  void select() { set_cs(false); }
  void deselect() { set_cs(true); }
  std::uint8_t exchange(std::uint8_t si);

  // A frame (with FCS) starts arriving now; it is filtered and stored once
  // its wire time has passed, after any frame still arriving.
  void receive(Bytes frame_with_fcs);
  // The supply dropped and came back: every register to its power-on
  // value, CLKRDY clear for the start-up time, the buffer's content lost.
  void power_cycle();
  void tick(std::uint64_t cycles);
  // The PIC's oscillator (Fosc, four clocks an instruction cycle): the
  // length of the cycles tick() counts.
  void set_clock_hz(std::uint64_t fosc_hz);
  // The SCK period on the board for the bytes that follow; 0: not known.
  void set_sck_period_ns(std::uint64_t ns) { sck_period_ns_ = ns; }

  std::uint64_t now_ns() const { return now_ns_; }
  bool faulted() const { return faulted_; }
  std::uint8_t buffer_at(std::uint16_t address) const {
    return memory_[address & 0x1FFF];
  }

 private:
  enum class Phase {
    command,
    read_dummy,
    read_value,
    read_buffer,
    write_register,
    write_buffer,
    bit_set,
    bit_clear,
    finished,
    ignored
  };
  struct StoredPacket {
    std::uint16_t start;
    std::uint16_t next;
  };

  void fault(const std::string& message);
  void reset_registers();
  void process_byte(std::uint8_t byte);
  void check_command_complete();
  void begin_command(std::uint8_t byte);
  bool command_allowed(std::uint8_t opcode, std::uint8_t address);
  bool is_mac_mii(std::uint8_t address) const;
  std::uint8_t& control(std::uint8_t address);
  std::uint8_t read_register(std::uint8_t address);
  // `touched`: the bits the command names (all for WCR, the mask for
  // BFS/BFC), so that rewriting an unchanged bit is told from setting it.
  void write_register(std::uint8_t address, std::uint8_t value,
                      std::uint8_t touched);
  void write_econ1(std::uint8_t value, std::uint8_t touched);
  void write_econ2(std::uint8_t value);
  void write_bank0(std::uint8_t address, std::uint8_t value);
  void write_bank2(std::uint8_t address, std::uint8_t value);
  void write_eie(std::uint8_t value);
  void check_sck_for_mac_mii();
  void abort_transmission(const char* how);
  void set_free_pointer(std::uint16_t value);
  // ERXRDPT values that free up to a packet: how many packets, or -1.
  int packets_freed_by(std::uint16_t free_pointer) const;
  void enable_reception();
  bool reception_on() const;
  void deliver(const Bytes& frame);
  void start_transmission();
  void finish_transmission();
  void run_dma_copy();
  void store_frame(const Bytes& frame);
  bool accepted(const Bytes& frame, bool crc_ok);
  void mii_write(std::uint8_t address, std::uint16_t value);
  std::uint16_t mii_read(std::uint8_t address);
  bool mii_busy() const { return now_ns_ < mii_busy_until_; }
  bool link_up() const { return now_ns_ >= link_up_at_; }
  void advance_read_pointer();

  std::uint16_t pair(std::uint8_t low) const;
  void set_pair(std::uint8_t low, std::uint16_t value);
  std::uint16_t ring_next(std::uint16_t address) const;
  std::uint16_t ring_size() const;
  std::uint16_t ring_free() const;
  bool in_ring(std::uint16_t address) const;

  Timing timing_;
  FrameSink transmit_sink_;
  FaultSink fault_sink_;
  bool faulted_ = false;
  std::uint64_t now_ns_ = 0;

  std::array<std::uint8_t, 8192> memory_{};
  std::array<std::array<std::uint8_t, 0x1B>, 4> banks_{};
  std::array<std::uint8_t, 5> common_{};  // EIE, EIR, ESTAT, ECON2, ECON1
  std::array<std::uint16_t, 0x20> phy_{};

  // SPI
  bool selected_ = false;
  bool sck_ = false;
  bool so_ = true;
  int bit_count_ = 0;
  std::uint8_t shift_in_ = 0;
  std::uint8_t shift_out_ = 0;
  Phase phase_ = Phase::command;
  std::uint8_t address_ = 0;
  std::uint64_t sck_period_ns_ = 0;

  // time and state the registers alone do not hold
  std::uint64_t clock_ready_at_ = 0;
  std::uint64_t reset_wait_until_ = 0;
  std::uint64_t mii_busy_until_ = 0;
  std::uint64_t link_up_at_ = 0;
  bool link_dropped_since_read_ = true;
  bool link_reported_ = false;
  bool reading_mac_mii_ = false;
  // After a power cycle from the wire the driver cannot have known: until
  // it reads ESTAT, commands before CLKRDY are ignored (reads give 0x00)
  // rather than faults.
  bool unready_ignored_ = false;
  std::uint8_t erxrdptl_latch_ = 0;
  std::uint16_t write_pointer_ = 0;    // ERXWRPT
  std::deque<StoredPacket> stored_;    // not yet freed through ERXRDPT
  std::uint8_t packet_count_ = 0;      // EPKTCNT
  bool transmit_logic_reset_ = false;  // TXRST set and cleared since TXRTS
  bool transmit_reset_held_ = false;
  bool transmitting_ = false;
  std::uint64_t transmit_done_at_ = 0;
  Bytes transmit_frame_;
  std::uint64_t transmit_status_ = 0;
  struct Arriving {
    std::uint64_t done_at;
    Bytes frame;
  };
  std::deque<Arriving> arriving_;
};

}  // namespace enc28j60
