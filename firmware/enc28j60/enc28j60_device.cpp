#include "enc28j60_device.h"

// Revision B7 silicon errata (DS80349) the model holds a driver to; each
// check names its erratum. Numbers and titles as read in DS80349C where
// README.md says so, otherwise unverified (see there).
//   1  MAC Interface: with SCK below 8 MHz MAC and MII register accesses
//      may be unreliable; such an access is refused.
//   2  Reset: after the System Reset command CLKRDY stays set and cannot
//      be polled; wait 1 ms before touching MAC/MII/PHY registers.
//   5  Memory (Ethernet Buffer): writing ERXST/ERXND may leave the internal
//      receive write pointer at 0x0000; the receive buffer starts at 0x0000.
//   6  Interrupts: EIR.PKTIF does not reliably reflect pending packets:
//      it reads clear, while EIE.PKTIE still interrupts; read EPKTCNT.
//   12 Transmit Logic: an aborted transmission may stall the transmit
//      logic; reset it (TXRST set and cleared) before every TXRTS, or
//      only when EIR.TXERIF says a transmission was aborted.
//   14 Memory (Ethernet Buffer): an even ERXRDPT may corrupt the receive
//      buffer; write next packet pointer - 1, or ERXND.
//   15 DMA: the checksum engine running while packets arrive may lose
//      them; compute checksums in software.

#include <algorithm>
#include <cstdio>

namespace enc28j60 {
namespace {

// ECON1
constexpr std::uint8_t TXRST = 0x80, RXRST = 0x40, DMAST = 0x20, CSUMEN = 0x10,
                       TXRTS = 0x08, RXEN = 0x04;
// ECON2
constexpr std::uint8_t AUTOINC = 0x80, PKTDEC = 0x40, PWRSV = 0x20;
// EIE / EIR
constexpr std::uint8_t INTIE = 0x80, PKTIF = 0x40, DMAIF = 0x20, LINKIF = 0x10,
                       TXIF = 0x08, TXERIF = 0x02, RXERIF = 0x01;
constexpr std::uint8_t EIR_WRITABLE = DMAIF | TXIF | TXERIF | RXERIF;
// ESTAT
constexpr std::uint8_t ESTAT_INT = 0x80, BUFER = 0x40, RXBUSY = 0x04,
                       TXABRT = 0x02, CLKRDY = 0x01;
// ERXFCON
constexpr std::uint8_t UCEN = 0x80, ANDOR = 0x40, CRCEN = 0x20, PMEN = 0x10,
                       MPEN = 0x08, HTEN = 0x04, MCEN = 0x02, BCEN = 0x01;
// MACON1, MACON3
constexpr std::uint8_t MARXEN = 0x01;
constexpr std::uint8_t TXCRCEN = 0x10, HFRMEN = 0x04, FRMLNEN = 0x02,
                       FULDPX = 0x01;
// MICMD, MISTAT
constexpr std::uint8_t MIISCAN = 0x02, MIIRD = 0x01, MISTAT_BUSY = 0x01;
// per-packet control byte
constexpr std::uint8_t PHUGEEN = 0x08, PPADEN = 0x04, PCRCEN = 0x02,
                       POVERRIDE = 0x01;
// PHY bits
constexpr std::uint16_t PDPXMD = 0x0100, PRST = 0x8000;
constexpr std::uint16_t PLNKIE = 0x0010, PGEIE = 0x0002;
constexpr std::uint16_t PLNKIF = 0x0010, PGIF = 0x0004;

constexpr std::uint8_t OP_RCR = 0, OP_RBM = 1, OP_WCR = 2, OP_WBM = 3,
                       OP_BFS = 4, OP_BFC = 5, OP_SRC = 7;
constexpr std::uint8_t BUFFER_ARGUMENT = 0x1A;

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
  return text;
}

bool is_broadcast(const Bytes& frame) {
  return std::all_of(frame.begin(), frame.begin() + 6,
                     [](std::uint8_t b) { return b == 0xFF; });
}

unsigned big_endian16(const Bytes& frame, std::size_t at) {
  return frame.size() >= at + 2 ? (unsigned{frame[at]} << 8 | frame[at + 1])
                                : 0u;
}

unsigned type_length(const Bytes& frame) { return big_endian16(frame, 12); }

// Bits of the status vectors that both directions share: broadcast,
// multicast, the type/length field's range and, with MACON3.FRMLNEN, a
// length field that is not the data's length (tables 7-1 and 7-3). The
// data is what follows the type/length field up to the FCS; a length
// below Ethernet's 46 data bytes is checked against the padded 46.
std::uint64_t frame_kind_bits(const Bytes& frame, bool check_length) {
  std::uint64_t bits = 0;
  const bool broadcast = is_broadcast(frame);
  if (broadcast)
    bits |= 1u << 25;
  else if (frame[0] & 1)
    bits |= 1u << 24;
  const unsigned type = type_length(frame);
  if (type > 1500) bits |= 1u << 22;
  const std::size_t data = frame.size() >= 18 ? frame.size() - 18 : 0;
  if (check_length && type <= 1500 && data != std::max<std::size_t>(type, 46))
    bits |= 1u << 21;
  return bits;
}

}  // namespace

std::uint32_t ethernet_crc(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

Bytes with_fcs(Bytes frame) {
  const std::uint32_t crc = ethernet_crc(frame);
  for (int shift = 0; shift < 32; shift += 8)
    frame.push_back(static_cast<std::uint8_t>(crc >> shift));
  return frame;
}

// The frame's last four bytes are the CRC of the others.
static bool fcs_matches(const Bytes& frame) {
  const std::size_t body = frame.size() - 4;
  std::uint32_t carried = 0;
  for (std::size_t i = 4; i-- > 0;) carried = carried << 8 | frame[body + i];
  return ethernet_crc(std::span<const std::uint8_t>(frame.data(), body)) ==
         carried;
}

void Device::set_clock_hz(std::uint64_t fosc_hz) {
  timing_.ns_per_cycle = std::max<std::uint64_t>(1, 4'000'000'000 / fosc_hz);
}

Device::Device(Timing timing) : timing_(timing) {
  power_cycle();
  unready_ignored_ = false;  // the driver starts with the chip
}

void Device::fault(const std::string& message) {
  if (faulted_) return;
  faulted_ = true;
  if (fault_sink_) fault_sink_("enc28j60: " + message);
}

void Device::power_cycle() {
  memory_.fill(0);
  reset_registers();
  clock_ready_at_ = now_ns_ + timing_.start_up_ns;
  link_up_at_ = clock_ready_at_;
  reset_wait_until_ = 0;
  unready_ignored_ = true;
  arriving_.clear();
  selected_ = false;
  bit_count_ = 0;
  so_ = true;
}

// Power-on values of DS39662 table 3-2 (and 3-3 for the PHY). The buffer
// memory is not touched: the reset command keeps it.
void Device::reset_registers() {
  for (auto& bank : banks_) bank.fill(0);
  common_ = {0, 0, 0, AUTOINC, 0};
  set_pair(reg::ERDPTL, 0x05FA);
  set_pair(reg::ERXSTL, 0x05FA);
  set_pair(reg::ERXNDL, 0x1FFF);
  set_pair(reg::ERXRDPTL, 0x05FA);
  banks_[1][reg::ERXFCON] = UCEN | CRCEN | BCEN;
  banks_[2][0x08] = 0x0F;  // MACLCON1
  banks_[2][0x09] = 0x37;  // MACLCON2
  banks_[2][reg::MAMXFLL] = 0x00;
  banks_[2][reg::MAMXFLH] = 0x06;
  banks_[3][reg::EREVID] = 0x06;  // silicon revision B7
  banks_[3][0x15] = 0x04;         // ECOCON
  banks_[3][0x19] = 0x10;         // EPAUSH
  phy_.fill(0);
  phy_[phy::PHID1] = 0x0083;
  phy_[phy::PHID2] = 0x1400;
  phy_[phy::PHLCON] = 0x3422;
  erxrdptl_latch_ = 0xFA;
  write_pointer_ = 0;
  stored_.clear();
  packet_count_ = 0;
  transmit_logic_reset_ = false;
  transmit_reset_held_ = false;
  transmitting_ = false;
  mii_busy_until_ = 0;
  link_dropped_since_read_ = true;
  link_reported_ = false;
}

// ---------------------------------------------------------------- SPI

void Device::set_cs(bool level) {
  if (!level && !selected_) {
    selected_ = true;
    bit_count_ = 0;
    shift_in_ = 0;
    shift_out_ = 0;
    phase_ = Phase::command;
    so_ = false;
  } else if (level && selected_) {
    selected_ = false;
    so_ = true;
    if (bit_count_ != 0)
      fault("CS raised after " + std::to_string(bit_count_) +
            " bits of a byte: the byte is lost on the chip");
    else
      check_command_complete();
  }
}

// A command cut short by CS: a driver that reads the dummy byte of a MAC
// or MII register as its value, or a write without its data.
void Device::check_command_complete() {
  const std::string which =
      hex4(address_) + " (bank " + std::to_string(common_[4] & 3) + ")";
  switch (phase_) {
    case Phase::read_dummy:
      fault("RCR of MAC/MII register " + which + " ended before its value");
      return;
    case Phase::read_value:
      fault(reading_mac_mii_
                ? "RCR of MAC/MII register " + which +
                      " ended after the dummy byte: the value is the byte "
                      "after it"
                : "RCR of " + which + " ended before its value byte");
      return;
    case Phase::write_register:
    case Phase::bit_set:
    case Phase::bit_clear:
      fault("WCR/BFS/BFC of " + which + " ended before its data byte");
      return;
    default:
      return;
  }
}

void Device::set_sck(bool level, bool si) {
  const bool rising = level && !sck_;
  const bool falling = !level && sck_;
  sck_ = level;
  if (!selected_) return;
  if (rising) {
    shift_in_ = static_cast<std::uint8_t>(shift_in_ << 1 | (si ? 1 : 0));
    if (++bit_count_ == 8) {
      bit_count_ = 0;
      process_byte(shift_in_);
      shift_in_ = 0;
    }
  } else if (falling) {
    so_ = (shift_out_ >> (7 - bit_count_)) & 1;
  }
}

std::uint8_t Device::exchange(std::uint8_t si) {
  const std::uint8_t out = shift_out_;
  process_byte(si);
  return out;
}

// Errata 1 (MAC Interface): below 8 MHz, MAC and MII register accesses
// may be unreliable. Every byte of such a command must come that fast.
void Device::check_sck_for_mac_mii() {
  if (sck_period_ns_ <= timing_.slowest_mac_sck_ns) return;
  fault("MAC/MII register " + hex4(address_) + " (bank " +
        std::to_string(common_[4] & 3) + ") accessed with SCK at " +
        std::to_string(1000 / sck_period_ns_) + "." +
        std::to_string(10000 / sck_period_ns_ % 10) +
        " MHz: errata 1 (MAC Interface), MAC and MII register access may be "
        "unreliable below 8 MHz");
}

void Device::process_byte(std::uint8_t byte) {
  if (sck_period_ns_ > timing_.slowest_mac_sck_ns) {
    const std::uint8_t opcode = byte >> 5;
    const bool mac_mii_now =
        phase_ == Phase::command
            ? (opcode == OP_RCR || opcode == OP_WCR) && is_mac_mii(byte & 0x1F)
            : (phase_ == Phase::read_dummy || phase_ == Phase::read_value ||
               phase_ == Phase::write_register) &&
                  is_mac_mii(address_);
    if (mac_mii_now) {
      if (phase_ == Phase::command) address_ = byte & 0x1F;
      check_sck_for_mac_mii();
    }
  }
  switch (phase_) {
    case Phase::command:
      begin_command(byte);
      return;
    case Phase::read_dummy:
      shift_out_ = read_register(address_);
      phase_ = Phase::read_value;
      return;
    case Phase::read_buffer: {
      advance_read_pointer();
      const std::uint16_t at = pair(reg::ERDPTL);
      if (transmitting_ && at >= pair(reg::ETXSTL) && at <= pair(reg::ETXNDL))
        fault("buffer " + hex4(at) +
              " read (RBM) inside the frame being transmitted");
      shift_out_ = memory_[at];
      return;
    }
    case Phase::write_buffer: {
      const std::uint16_t at = pair(reg::EWRPTL);
      if (transmitting_ && at >= pair(reg::ETXSTL) && at <= pair(reg::ETXNDL))
        fault("buffer " + hex4(at) +
              " written (WBM) inside the frame being transmitted");
      memory_[at] = byte;
      if (common_[3] & AUTOINC) set_pair(reg::EWRPTL, (at + 1) & 0x1FFF);
      return;
    }
    case Phase::write_register:
      write_register(address_, byte, 0xFF);
      phase_ = Phase::finished;
      return;
    case Phase::bit_set:
      write_register(address_, read_register(address_) | byte, byte);
      phase_ = Phase::finished;
      return;
    case Phase::bit_clear:
      write_register(address_,
                     static_cast<std::uint8_t>(read_register(address_) & ~byte),
                     byte);
      phase_ = Phase::finished;
      return;
    case Phase::read_value:  // the byte that carried the value
      phase_ = Phase::finished;
      return;
    case Phase::ignored:
      shift_out_ = 0;
      return;
    case Phase::finished:
      fault(
          "SPI byte after the end of a one-register command: raise CS "
          "between commands");
      phase_ = Phase::finished;
      return;
  }
}

void Device::begin_command(std::uint8_t byte) {
  const std::uint8_t opcode = byte >> 5;
  const std::uint8_t address = byte & 0x1F;
  address_ = address;
  phase_ = Phase::finished;
  reading_mac_mii_ = opcode == OP_RCR && is_mac_mii(address);
  if (!command_allowed(opcode, address)) return;
  switch (opcode) {
    case OP_RCR:
      if (is_mac_mii(address)) {
        shift_out_ = 0xFF;  // the dummy byte: what a driver must skip
        phase_ = Phase::read_dummy;
      } else {
        shift_out_ = read_register(address);
        phase_ = Phase::read_value;
      }
      return;
    case OP_RBM:
    case OP_WBM:
      if (address != BUFFER_ARGUMENT) {
        fault("buffer command with argument " + hex4(address) +
              " instead of 0x1A");
        return;
      }
      if (opcode == OP_RBM) {
        shift_out_ = memory_[pair(reg::ERDPTL)];
        phase_ = Phase::read_buffer;
      } else {
        phase_ = Phase::write_buffer;
      }
      return;
    case OP_WCR:
      phase_ = Phase::write_register;
      return;
    case OP_BFS:
    case OP_BFC:
      if (is_mac_mii(address) || address > 0x1F) {
        fault("BFS/BFC on MAC/MII register " + hex4(address) + " (bank " +
              std::to_string(common_[4] & 3) +
              "): they work on ETH registers only");
        return;
      }
      phase_ = opcode == OP_BFS ? Phase::bit_set : Phase::bit_clear;
      return;
    case OP_SRC:
      if (address != 0x1F) {
        fault("reserved SPI opcode " + hex4(byte));
        return;
      }
      // Revision B7 keeps CLKRDY set through the reset command (errata 2),
      // so clock_ready_at_ stays as it is.
      reset_registers();
      reset_wait_until_ = now_ns_ + timing_.reset_wait_ns;
      link_up_at_ = reset_wait_until_;
      return;
    default:
      fault("reserved SPI opcode " + hex4(byte));
      return;
  }
}

// DS39662 2.2: after power-on, CLKRDY must be polled before transmitting,
// enabling reception or accessing any MAC, MII or PHY register. ETH
// registers and the buffer may be used at once.
bool Device::command_allowed(std::uint8_t opcode, std::uint8_t address) {
  if (opcode == OP_RCR && address == reg::ESTAT) unready_ignored_ = false;
  const bool register_command = opcode == OP_RCR || opcode == OP_WCR ||
                                opcode == OP_BFS || opcode == OP_BFC;
  if (now_ns_ < clock_ready_at_ && register_command && is_mac_mii(address)) {
    if (unready_ignored_) {
      phase_ = Phase::ignored;
      return false;
    }
    fault("MAC/MII register " + hex4(address) + " (bank " +
          std::to_string(common_[4] & 3) +
          ") accessed before ESTAT.CLKRDY: after power-on MAC, MII and PHY "
          "registers wait for the oscillator start-up timer");
    return false;
  }
  if (now_ns_ < reset_wait_until_ && register_command && is_mac_mii(address)) {
    fault("MAC/MII register " + hex4(address) + " (bank " +
          std::to_string(common_[4] & 3) +
          ") accessed less than 1 ms after the System Reset command "
          "(errata 2, Reset: CLKRDY cannot be relied upon, wait 1 ms)");
    return false;
  }
  return true;
}

bool Device::is_mac_mii(std::uint8_t address) const {
  if (address >= 0x1B) return false;
  const int bank = common_[4] & 3;
  return bank == 2 ||
         (bank == 3 && (address <= reg::MAADR2 || address == reg::MISTAT));
}

// ---------------------------------------------------------------- registers

std::uint8_t& Device::control(std::uint8_t address) {
  return address >= 0x1B ? common_[address - 0x1B]
                         : banks_[common_[4] & 3][address];
}

std::uint16_t Device::pair(std::uint8_t low) const {
  return static_cast<std::uint16_t>(banks_[0][low] | (banks_[0][low + 1] << 8));
}

void Device::set_pair(std::uint8_t low, std::uint16_t value) {
  banks_[0][low] = static_cast<std::uint8_t>(value);
  banks_[0][low + 1] = static_cast<std::uint8_t>((value >> 8) & 0x1F);
}

std::uint8_t Device::read_register(std::uint8_t address) {
  const int bank = common_[4] & 3;
  switch (address) {
    case reg::EIR:
      // Errata 6 (Interrupts): PKTIF is unreliable. It always reads clear
      // here, so a driver that waits for it never sees a frame.
      return common_[1] & static_cast<std::uint8_t>(~PKTIF);
    case reg::ESTAT: {
      std::uint8_t value = common_[2] & (BUFER | TXABRT);
      if (now_ns_ >= clock_ready_at_) value |= CLKRDY;
      if (!arriving_.empty() && reception_on()) value |= RXBUSY;
      if (common_[0] & common_[1] & 0x7B) value |= ESTAT_INT;
      return value;
    }
    default:
      break;
  }
  if (address >= 0x1B) return control(address);
  if (bank == 0 && address == reg::ERXWRPTL)
    return static_cast<std::uint8_t>(write_pointer_);
  if (bank == 0 && address == reg::ERXWRPTH)
    return static_cast<std::uint8_t>(write_pointer_ >> 8);
  if (bank == 1 && address == reg::EPKTCNT) return packet_count_;
  if (bank == 3 && address == reg::MISTAT) return mii_busy() ? MISTAT_BUSY : 0;
  if (bank == 2 && (address == reg::MIRDL || address == reg::MIRDH) &&
      mii_busy())
    fault("MIRDL/MIRDH read while MISTAT.BUSY is set");
  return control(address);
}

void Device::write_register(std::uint8_t address, std::uint8_t value,
                            std::uint8_t touched) {
  const int bank = common_[4] & 3;
  switch (address) {
    case reg::EIE:
      write_eie(value);
      return;
    case reg::EIR:
      common_[1] = static_cast<std::uint8_t>((common_[1] & ~EIR_WRITABLE) |
                                             (value & EIR_WRITABLE));
      return;
    case reg::ESTAT:  // only BUFER and TXABRT, and only cleared
      common_[2] &= static_cast<std::uint8_t>(value | ~(BUFER | TXABRT));
      return;
    case reg::ECON2:
      write_econ2(value);
      return;
    case reg::ECON1:
      write_econ1(value, touched);
      return;
    default:
      break;
  }
  if (bank == 0) {
    write_bank0(address, value);
  } else if (bank == 1) {
    if (address == reg::EPKTCNT) return;  // read-only
    if (address == reg::ERXFCON && (value & (PMEN | MPEN | HTEN)))
      fault("ERXFCON " + hex4(value) +
            ": pattern match, magic packet and hash table filters are not "
            "modelled");
    banks_[1][address] = value;
  } else if (bank == 2) {
    write_bank2(address, value);
  } else if (address != reg::MISTAT && address != reg::EREVID) {
    banks_[3][address] = value;
  }
}

// EIE.PKTIE interrupts on a pending packet (data sheet 7.2.1); errata 6
// makes only the EIR.PKTIF bit unreliable (it reads clear here), so an
// interrupt routine reads EPKTCNT.
void Device::write_eie(std::uint8_t value) { common_[0] = value; }

void Device::write_econ2(std::uint8_t value) {
  if (value & PWRSV) fault("ECON2.PWRSV (power save) is not modelled");
  if (value & PKTDEC) {
    if (packet_count_ == 0)
      fault("ECON2.PKTDEC with EPKTCNT 0");
    else if (--packet_count_ == 0)
      common_[1] &= static_cast<std::uint8_t>(~PKTIF);
  }
  common_[3] = static_cast<std::uint8_t>(value & ~PKTDEC);
}

// A transmission cancelled while its frame is on the wire. The chip
// allows it (DS39662 7.1), but here no transmission ever stalls (no
// collisions), so a cancel only ever loses a frame the driver meant to
// send: it waited too little for TXRTS to clear.
void Device::abort_transmission(const char* how) {
  const std::uint64_t left_us =
      transmit_done_at_ > now_ns_ ? (transmit_done_at_ - now_ns_) / 1000 : 0;
  fault(std::string("transmission aborted by ") + how +
        " while its frame is on the wire (" + std::to_string(left_us) +
        " us left): wait for ECON1.TXRTS to clear");
  transmitting_ = false;
  common_[4] &= static_cast<std::uint8_t>(~TXRTS);
  common_[1] |= TXERIF;  // errata 12: set whenever a transmit abort occurs
  common_[2] |= TXABRT;
}

void Device::write_econ1(std::uint8_t value, std::uint8_t touched) {
  const std::uint8_t old = common_[4];
  if (now_ns_ < clock_ready_at_ && (value & ~old & (TXRTS | RXEN) & touched)) {
    if (!unready_ignored_)
      fault(
          "ECON1.TXRTS or RXEN set before ESTAT.CLKRDY: after power-on "
          "transmission and reception wait for the oscillator start-up "
          "timer");
    value &= static_cast<std::uint8_t>(~(TXRTS | RXEN) | old);
  }
  if ((touched & TXRTS) && transmitting_) {
    if (value & TXRTS)
      fault(
          "ECON1.TXRTS set while a transmission is pending: wait for "
          "TXRTS to clear");
    else
      abort_transmission("clearing ECON1.TXRTS");
    value = static_cast<std::uint8_t>((value & ~TXRTS) | (old & TXRTS));
  }
  if ((value & TXRST) && transmitting_) abort_transmission("ECON1.TXRST");
  common_[4] = value;
  if (value & TXRST) {
    transmit_reset_held_ = true;
    transmitting_ = false;
    common_[4] &= static_cast<std::uint8_t>(~TXRTS);
  } else if (old & TXRST) {
    // Errata 12: clearing TXRST may raise TXERIF; the driver clears it.
    transmit_reset_held_ = false;
    transmit_logic_reset_ = true;
    common_[1] |= TXERIF;
  }
  if ((touched & DMAST) && (value & DMAST)) {
    if (value & CSUMEN) {
      fault(
          "DMA checksum engine started (ECON1.CSUMEN with DMAST): errata "
          "15 (DMA), received packets may be lost while it runs; sum in "
          "software");
      common_[4] &= static_cast<std::uint8_t>(~DMAST);
    } else {
      run_dma_copy();
    }
  }
  if ((value & RXEN) && !(old & RXEN)) enable_reception();
  if ((touched & TXRTS) && (value & TXRTS) && !(old & TXRTS) &&
      !transmit_reset_held_) {
    start_transmission();
    if (!transmitting_) common_[4] &= static_cast<std::uint8_t>(~TXRTS);
  } else if (transmit_reset_held_ && (touched & TXRTS) && (value & TXRTS))
    fault(
        "ECON1.TXRTS set while ECON1.TXRST holds the transmit logic in reset");
}

void Device::write_bank0(std::uint8_t address, std::uint8_t value) {
  const bool transmit_pointer =
      address >= reg::ETXSTL && address <= reg::ETXNDH;
  const bool ring_pointer = address >= reg::ERXSTL && address <= reg::ERXNDH;
  if (transmit_pointer && transmitting_)
    fault("ETXST/ETXND written during a transmission (TXRTS set)");
  if (ring_pointer && (common_[4] & RXEN))
    fault("ERXST/ERXND written while ECON1.RXEN is set");
  switch (address) {
    case reg::ERXRDPTL:
      erxrdptl_latch_ = value;  // takes effect with ERXRDPTH
      return;
    case reg::ERXRDPTH:
      set_free_pointer(
          static_cast<std::uint16_t>((value & 0x1F) << 8 | erxrdptl_latch_));
      return;
    case reg::ERXWRPTL:
    case reg::ERXWRPTH:
      return;  // read-only
    default:
      break;
  }
  banks_[0][address] = (address & 1) ? (value & 0x1F) : value;
  if (address == reg::ERXSTL || address == reg::ERXSTH) {
    write_pointer_ = pair(reg::ERXSTL);
    stored_.clear();
  }
}

void Device::write_bank2(std::uint8_t address, std::uint8_t value) {
  const bool mii = address == reg::MICMD || address == reg::MIREGADR ||
                   address == reg::MIWRL || address == reg::MIWRH;
  if (mii && mii_busy()) {
    fault("MII register " + hex4(address) +
          " written while MISTAT.BUSY is set (10.24 us per operation)");
    return;
  }
  if (address == reg::MIRDL || address == reg::MIRDH) return;  // read-only
  banks_[2][address] = value;
  if (address == reg::MICMD) {
    if (value & MIISCAN) fault("MICMD.MIISCAN (PHY scan) is not modelled");
    if (value & MIIRD) {
      const std::uint16_t data = mii_read(banks_[2][reg::MIREGADR] & 0x1F);
      banks_[2][reg::MIRDL] = static_cast<std::uint8_t>(data);
      banks_[2][reg::MIRDH] = static_cast<std::uint8_t>(data >> 8);
      mii_busy_until_ = now_ns_ + timing_.mii_busy_ns;
    }
  } else if (address == reg::MIWRH) {
    mii_write(banks_[2][reg::MIREGADR] & 0x1F,
              static_cast<std::uint16_t>(value << 8 | banks_[2][reg::MIWRL]));
    mii_busy_until_ = now_ns_ + timing_.mii_busy_ns;
  }
}

// ---------------------------------------------------------------- PHY

std::uint16_t Device::mii_read(std::uint8_t address) {
  switch (address) {
    case phy::PHSTAT1: {
      const bool latched = link_up() && !link_dropped_since_read_;
      link_dropped_since_read_ = !link_up();
      return static_cast<std::uint16_t>(0x1800 | (latched ? 0x0004 : 0));
    }
    case phy::PHSTAT2:
      return static_cast<std::uint16_t>(
          (link_up() ? 0x0400 : 0) | (phy_[phy::PHCON1] & PDPXMD ? 0x0200 : 0));
    case phy::PHIR: {
      const std::uint16_t value = phy_[phy::PHIR];
      phy_[phy::PHIR] = 0;
      common_[1] &= static_cast<std::uint8_t>(~LINKIF);
      return value;
    }
    default:
      return phy_[address];
  }
}

void Device::mii_write(std::uint8_t address, std::uint16_t value) {
  switch (address) {
    case phy::PHCON1:
      if (value & PRST) {
        phy_[phy::PHCON1] = 0;
        phy_[phy::PHCON2] = 0;
        phy_[phy::PHIE] = 0;
        phy_[phy::PHLCON] = 0x3422;
      } else {
        phy_[phy::PHCON1] = value;
      }
      return;
    case phy::PHCON2:
    case phy::PHIE:
    case phy::PHLCON:
      phy_[address] = value;
      return;
    default:
      return;  // PHSTAT, PHID and PHIR are read-only
  }
}

// ---------------------------------------------------------------- buffer

std::uint16_t Device::ring_size() const {
  return static_cast<std::uint16_t>(pair(reg::ERXNDL) - pair(reg::ERXSTL) + 1);
}

bool Device::in_ring(std::uint16_t address) const {
  return address >= pair(reg::ERXSTL) && address <= pair(reg::ERXNDL);
}

std::uint16_t Device::ring_next(std::uint16_t address) const {
  if (address == pair(reg::ERXNDL)) return pair(reg::ERXSTL);
  return (address + 1) & 0x1FFF;
}

std::uint16_t Device::ring_free() const {
  const int size = ring_size();
  const int read = pair(reg::ERXRDPTL) - pair(reg::ERXSTL);
  const int write = write_pointer_ - pair(reg::ERXSTL);
  return static_cast<std::uint16_t>(((read - write - 1) % size + size) % size);
}

void Device::advance_read_pointer() {
  if (!(common_[3] & AUTOINC)) return;
  const std::uint16_t at = pair(reg::ERDPTL);
  set_pair(reg::ERDPTL,
           at == pair(reg::ERXNDL) ? pair(reg::ERXSTL) : ((at + 1) & 0x1FFF));
}

// Errata 14 (Memory, Ethernet Buffer): an even ERXRDPT may corrupt the
// receive buffer. The one value a driver should write is the next packet
// pointer minus one, or ERXND when that pointer is ERXST.
void Device::set_free_pointer(std::uint16_t value) {
  if (!(value & 1)) {
    fault("ERXRDPT set to even " + hex4(value) +
          ": errata 14 (Memory), write next packet pointer - 1, or ERXND "
          "when the next packet pointer is ERXST");
    return;
  }
  const int freed = packets_freed_by(value);
  if (freed < 0) {
    fault("ERXRDPT set to " + hex4(value) +
          ", not at a packet boundary (next packet pointer - 1, or ERXND "
          "when that pointer is ERXST)");
    return;
  }
  set_pair(reg::ERXRDPTL, value);
  stored_.erase(stored_.begin(), stored_.begin() + freed);
}

int Device::packets_freed_by(std::uint16_t free_pointer) const {
  auto behind = [this](std::uint16_t boundary) {
    return boundary == pair(reg::ERXSTL)
               ? pair(reg::ERXNDL)
               : static_cast<std::uint16_t>(boundary - 1);
  };
  for (std::size_t i = 0; i < stored_.size(); ++i)
    if (behind(stored_[i].start) == free_pointer) return static_cast<int>(i);
  if (behind(write_pointer_) == free_pointer)
    return static_cast<int>(stored_.size());
  return -1;
}

void Device::run_dma_copy() {
  std::uint16_t from = pair(reg::EDMASTL);
  const std::uint16_t end = pair(reg::EDMANDL);
  std::uint16_t to = pair(reg::EDMADSTL);
  for (int count = 0; count < 8192; ++count) {
    memory_[to] = memory_[from];
    to = (to + 1) & 0x1FFF;
    if (from == end) break;
    from = in_ring(from) ? ring_next(from) : ((from + 1) & 0x1FFF);
  }
  common_[4] &= static_cast<std::uint8_t>(~DMAST);
  common_[1] |= DMAIF;
}

// ---------------------------------------------------------------- receive

void Device::enable_reception() {
  const std::uint16_t start = pair(reg::ERXSTL);
  const std::uint16_t end = pair(reg::ERXNDL);
  const std::uint16_t free_pointer = pair(reg::ERXRDPTL);
  if (start != 0)
    fault("receive buffer starts at " + hex4(start) +
          ": errata 5 (Memory, Ethernet Buffer), the receive write pointer "
          "may take 0x0000 when ERXST/ERXND are written; start it at 0x0000");
  else if (end <= start || !(end & 1))
    fault("ERXND " + hex4(end) +
          " must be odd and after ERXST, so that ERXRDPT = ERXND is odd "
          "(errata 14)");
  else if (!(free_pointer & 1) || packets_freed_by(free_pointer) < 0)
    fault("ECON1.RXEN set with ERXRDPT " + hex4(free_pointer) +
          ": errata 14 (Memory), ERXRDPT must be odd, at a packet boundary "
          "(ERXND for an empty buffer at ERXST)");
  else if (bool(banks_[2][reg::MACON3] & FULDPX) !=
           bool(phy_[phy::PHCON1] & PDPXMD))
    fault(
        "MACON3.FULDPX and PHCON1.PDPXMD disagree: the duplex is "
        "indeterminate");
}

bool Device::reception_on() const {
  return (common_[4] & RXEN) && !(common_[4] & RXRST) &&
         (banks_[2][reg::MACON1] & MARXEN) && link_up();
}

void Device::receive(Bytes frame_with_fcs) {
  const std::uint64_t start =
      arriving_.empty() ? now_ns_ : std::max(now_ns_, arriving_.back().done_at);
  const std::uint64_t wire_bytes = 8 + frame_with_fcs.size() + 12;
  arriving_.push_back({start + wire_bytes * timing_.ns_per_wire_byte,
                       std::move(frame_with_fcs)});
}

bool Device::accepted(const Bytes& frame, bool crc_ok) {
  const std::uint8_t filters = banks_[1][reg::ERXFCON];
  if ((filters & CRCEN) && !crc_ok) return false;
  const std::uint8_t enabled = filters & (UCEN | MCEN | BCEN);
  if (enabled == 0) return true;
  const bool broadcast = is_broadcast(frame);
  const std::array<std::uint8_t, 6> own = {
      banks_[3][reg::MAADR1], banks_[3][reg::MAADR2], banks_[3][reg::MAADR3],
      banks_[3][reg::MAADR4], banks_[3][reg::MAADR5], banks_[3][reg::MAADR6]};
  const bool matches[] = {
      (enabled & UCEN) && std::equal(own.begin(), own.end(), frame.begin()),
      // The broadcast address is a multicast one too (its first byte's
      // least significant bit is set): MCEN takes it.
      (enabled & MCEN) && (frame[0] & 1), (enabled & BCEN) && broadcast};
  const int wanted = ((enabled & UCEN) ? 1 : 0) + ((enabled & MCEN) ? 1 : 0) +
                     ((enabled & BCEN) ? 1 : 0);
  const int matched = matches[0] + matches[1] + matches[2];
  return (filters & ANDOR) ? matched == wanted : matched > 0;
}

void Device::deliver(const Bytes& frame) {
  if (!reception_on() || frame.size() < 18) return;
  const std::uint16_t longest = static_cast<std::uint16_t>(
      banks_[2][reg::MAMXFLL] | banks_[2][reg::MAMXFLH] << 8);
  if (frame.size() > longest && !(banks_[2][reg::MACON3] & HFRMEN)) return;
  const bool crc_ok = fcs_matches(frame);
  if (!accepted(frame, crc_ok)) return;
  const std::size_t needed = 6 + frame.size() + (frame.size() & 1);
  if (packet_count_ == 255 || needed > ring_free()) {
    // DS39662 7.2.4: the packet is aborted and RXERIF set; ESTAT.BUFER
    // is the SPI/DMA buffer error and stays as it is.
    common_[1] |= RXERIF;
    return;
  }
  store_frame(frame);
}

void Device::store_frame(const Bytes& frame) {
  const std::uint16_t start = write_pointer_;
  std::uint16_t at = start;
  for (std::size_t i = 0; i < 6 + frame.size(); ++i) at = ring_next(at);
  if (at & 1) at = ring_next(at);
  const std::uint16_t next = at;

  const bool crc_ok = fcs_matches(frame);
  std::uint64_t status =
      frame.size() | frame_kind_bits(frame, banks_[2][reg::MACON3] & FRMLNEN);
  if (!crc_ok)
    status |= 1u << 20;
  else
    status |= 1u << 23;
  const unsigned type = type_length(frame);
  if (type == 0x8808) {
    status |= 1u << 27;
    status |= big_endian16(frame, 14) == 1 ? (1u << 28) : (1u << 29);
  }
  if (type == 0x8100) status |= 1u << 30;

  Bytes header = {static_cast<std::uint8_t>(next),
                  static_cast<std::uint8_t>(next >> 8)};
  for (int shift = 0; shift < 32; shift += 8)
    header.push_back(static_cast<std::uint8_t>(status >> shift));
  at = start;
  for (std::uint8_t byte : header) {
    memory_[at] = byte;
    at = ring_next(at);
  }
  for (std::uint8_t byte : frame) {
    memory_[at] = byte;
    at = ring_next(at);
  }
  write_pointer_ = next;
  stored_.push_back({start, next});
  ++packet_count_;
  common_[1] |= PKTIF;
}

// ---------------------------------------------------------------- transmit

void Device::start_transmission() {
  // Errata 12 allows both: a reset before every transmission, or one only
  // after a transmit error. TXERIF set with no reset since is a driver
  // following neither.
  if (!transmit_logic_reset_ && (common_[1] & TXERIF)) {
    fault(
        "ECON1.TXRTS set with EIR.TXERIF set and no ECON1.TXRST set and "
        "cleared since the last transmission: errata 12 (Transmit Logic), "
        "after a transmit error the transmit logic may stall");
    return;
  }
  const std::uint16_t start = pair(reg::ETXSTL);
  const std::uint16_t end = pair(reg::ETXNDL);
  if (end <= start || end + 7 > 0x1FFF) {
    fault("ETXST " + hex4(start) + " / ETXND " + hex4(end) +
          ": need a control byte, at least one frame byte and 7 bytes for "
          "the status vector after ETXND");
    return;
  }
  if (!(end + 7 < pair(reg::ERXSTL) || start > pair(reg::ERXNDL))) {
    fault("transmit buffer " + hex4(start) + "-" + hex4(end + 7) +
          " (with its status vector) overlaps the receive buffer");
    return;
  }
  if (bool(banks_[2][reg::MACON3] & FULDPX) !=
      bool(phy_[phy::PHCON1] & PDPXMD)) {
    fault(
        "MACON3.FULDPX and PHCON1.PDPXMD disagree: the duplex is "
        "indeterminate");
    return;
  }
  const std::uint8_t control = memory_[start];
  const std::uint8_t macon3 = banks_[2][reg::MACON3];
  Bytes frame(memory_.begin() + start + 1, memory_.begin() + end + 1);
  std::size_t pad_to = 0;
  bool append_crc = false;
  bool huge = macon3 & HFRMEN;
  if (control & POVERRIDE) {
    pad_to = (control & PPADEN) ? 60 : 0;
    append_crc = control & PCRCEN;
    huge = control & PHUGEEN;
  } else {
    const unsigned padding = macon3 >> 5;
    append_crc = (macon3 & TXCRCEN) || (padding & 1);
    if (padding == 1)
      pad_to = 60;
    else if (padding == 3 || padding == 7)
      pad_to = 64;
    else if (padding == 5)
      pad_to = type_length(frame) == 0x8100 ? 64 : 60;
  }
  if (frame.size() < pad_to) frame.resize(pad_to, 0);
  bool crc_error = false;
  if (append_crc) {
    frame = with_fcs(std::move(frame));
  } else if (frame.size() >= 4) {
    const Bytes body(frame.begin(), frame.end() - 4);
    crc_error = with_fcs(body) != frame;
  }
  const std::uint16_t longest = static_cast<std::uint16_t>(
      banks_[2][reg::MAMXFLL] | banks_[2][reg::MAMXFLH] << 8);
  if (frame.size() < 64) {
    fault("frame of " + std::to_string(frame.size()) +
          " bytes with its FCS: shorter than Ethernet's 64 (padding off?)");
    return;
  }
  if (frame.size() > longest && !huge) {
    fault("frame of " + std::to_string(frame.size()) +
          " bytes is longer than MAMXFL (" + std::to_string(longest) + ")");
    return;
  }
  std::uint64_t status =
      frame.size() | frame_kind_bits(frame, macon3 & FRMLNEN) | (1u << 23);
  if (crc_error) status |= 1u << 20;
  status |= static_cast<std::uint64_t>(frame.size()) << 32;
  const unsigned type = type_length(frame);
  if (type == 0x8808) {
    status |= std::uint64_t{1} << 48;
    if (big_endian16(frame, 14) == 1) status |= std::uint64_t{1} << 49;
  }
  if (type == 0x8100) status |= std::uint64_t{1} << 51;
  transmit_status_ = status;
  transmit_frame_ = std::move(frame);
  transmitting_ = true;
  transmit_logic_reset_ = false;
  common_[2] &= static_cast<std::uint8_t>(~TXABRT);
  const std::uint64_t wire_bytes = 8 + transmit_frame_.size() + 12;
  transmit_done_at_ = now_ns_ + wire_bytes * timing_.ns_per_wire_byte;
}

void Device::finish_transmission() {
  transmitting_ = false;
  std::uint16_t at = pair(reg::ETXNDL);
  for (int i = 0; i < 7; ++i)
    memory_[++at & 0x1FFF] =
        static_cast<std::uint8_t>(transmit_status_ >> (8 * i));
  common_[4] &= static_cast<std::uint8_t>(~TXRTS);
  common_[1] |= TXIF;
  if (transmit_sink_) transmit_sink_(transmit_frame_);
}

// ---------------------------------------------------------------- time

void Device::tick(std::uint64_t cycles) {
  now_ns_ += cycles * timing_.ns_per_cycle;
  if (transmitting_ && now_ns_ >= transmit_done_at_) finish_transmission();
  while (!arriving_.empty() && arriving_.front().done_at <= now_ns_) {
    const Bytes frame = std::move(arriving_.front().frame);
    arriving_.pop_front();
    deliver(frame);
  }
  if (!link_reported_ && link_up()) {
    link_reported_ = true;
    phy_[phy::PHIR] |= PLNKIF;
    if ((phy_[phy::PHIE] & (PLNKIE | PGEIE)) == (PLNKIE | PGEIE)) {
      phy_[phy::PHIR] |= PGIF;
      common_[1] |= LINKIF;
    }
  }
}

bool Device::int_pin() const {
  const std::uint8_t pending = common_[0] & common_[1] & 0x7B;
  return !((common_[0] & INTIE) && pending);
}

}  // namespace enc28j60
