// The ENC28J60 model as a gpsim module: five pins (sck, si, so, cs, int)
// and a frame relay over a SOCK_SEQPACKET socket inherited from the
// bridge (its fd number in ENC28J60_RELAY_FD). See README.md.
#define IN_MODULE

#include <gpsim/breakpoints.h>
#include <gpsim/gpsim_time.h>
#include <gpsim/ioports.h>
#include <gpsim/modules.h>
#include <gpsim/packages.h>
#include <gpsim/stimuli.h>
#include <gpsim/trigger.h>
#include <gpsim/value.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "enc28j60_device.h"

namespace {

constexpr std::uint8_t MSG_FRAME = 0x01, MSG_POWER_CYCLE = 0x02,
                       MSG_FAULT = 0x03, MSG_SENT = 0x04;
constexpr std::uint64_t POLL_CYCLES = 1000;
constexpr std::int64_t DEFAULT_CLOCK_HZ = 40'000'000;  // the PIC18 at 40 MHz

class Enc28j60Module;

// `eth.clock = HZ`: the PIC's oscillator on the board (Fosc), which
// gpsim's cycle count does not carry.
class ClockAttribute : public Integer {
 public:
  explicit ClockAttribute(Enc28j60Module& owner)
      : Integer("clock", DEFAULT_CLOCK_HZ,
                "the PIC's oscillator frequency on the board, in Hz"),
        owner_(owner) {}
  void set(gint64 value) override;

 private:
  Enc28j60Module& owner_;
};

// An input whose changes reach the model as they happen on the node.
class InputPin : public IO_bi_directional {
 public:
  InputPin(Enc28j60Module& owner, const char* name)
      : IO_bi_directional(name), owner_(owner) {}
  void setDrivenState(bool state) override;

 private:
  Enc28j60Module& owner_;
};

class Enc28j60Module : public Module, public TriggerObject {
 public:
  explicit Enc28j60Module(const char* name);
  ~Enc28j60Module() override;

  static Module* construct(const char* name) {
    return new Enc28j60Module(name);
  }
  void input_changed();
  void set_clock(std::int64_t hz);
  void callback() override;  // every POLL_CYCLES instruction cycles
  void callback_print() override {}

 private:
  void catch_up();
  void drive_outputs();
  void poll_relay();
  void send_message(std::uint8_t kind, const std::uint8_t* data,
                    std::size_t size);
  void keep_behind_wall_clock();
  void measure_sck();

  enc28j60::Device device_;
  InputPin* sck_;
  InputPin* si_;
  InputPin* cs_;
  IO_bi_directional* so_;
  IO_bi_directional* int_;
  ClockAttribute* clock_;
  double seconds_per_cycle_ = 4.0 / DEFAULT_CLOCK_HZ;
  bool sck_level_ = false;
  int sck_rises_ = 0;  // since CS fell
  std::uint64_t last_rise_ = 0;
  bool so_level_ = true;
  bool int_level_ = true;
  std::uint64_t last_cycle_ = 0;
  int relay_fd_ = -1;
  bool realtime_ = false;
  bool clock_started_ = false;
  std::uint64_t first_cycle_ = 0;
  std::chrono::steady_clock::time_point first_wall_;
};

void ClockAttribute::set(gint64 value) {
  if (value < 1'000'000 || value > 100'000'000) return;  // no PIC18 runs so
  Integer::set(value);
  owner_.set_clock(value);
}

void InputPin::setDrivenState(bool state) {
  const bool old = getDrivenState();
  IO_bi_directional::setDrivenState(state);
  if (state != old) owner_.input_changed();
}

Enc28j60Module::Enc28j60Module(const char* name)
    : Module(name, "ENC28J60 Ethernet controller (revision B7), strict model") {
  create_pkg(5);
  sck_ = new InputPin(*this, "sck");
  si_ = new InputPin(*this, "si");
  cs_ = new InputPin(*this, "cs");
  so_ = new IO_bi_directional("so");
  int_ = new IO_bi_directional("int");
  IOPIN* pins[] = {sck_, si_, so_, cs_, int_};
  for (unsigned i = 0; i < 5; ++i) {
    addSymbol(pins[i]);
    package->assign_pin(i + 1, pins[i]);
  }
  sck_->update_direction(0, true);
  si_->update_direction(0, true);
  cs_->update_direction(0, true);
  so_->update_direction(1, true);
  int_->update_direction(1, true);
  so_->putState(true);
  int_->putState(true);
  clock_ = new ClockAttribute(*this);
  addSymbol(clock_);

  if (const char* fd = std::getenv("ENC28J60_RELAY_FD"))
    relay_fd_ = std::atoi(fd);
  if (const char* pace = std::getenv("ENC28J60_REALTIME"))
    realtime_ = std::string(pace) == "1";

  // A transmitted frame carries the cycle it left at, so that a bridge
  // that reads the socket only between runs still times it exactly.
  device_.on_transmit([this](const enc28j60::Bytes& frame) {
    const std::uint64_t cycle = get_cycles().get();
    enc28j60::Bytes stamped;
    for (int shift = 0; shift < 64; shift += 8)
      stamped.push_back(static_cast<std::uint8_t>(cycle >> shift));
    stamped.insert(stamped.end(), frame.begin(), frame.end());
    send_message(MSG_SENT, stamped.data(), stamped.size());
  });
  device_.on_fault([this](const std::string& message) {
    std::cerr << message << std::endl;
    send_message(MSG_FAULT,
                 reinterpret_cast<const std::uint8_t*>(message.data()),
                 message.size());
    get_bp().halt();
  });
  last_cycle_ = get_cycles().get();
  get_cycles().set_break(last_cycle_ + POLL_CYCLES, this);
}

Enc28j60Module::~Enc28j60Module() {
  get_cycles().clear_break(this);
  for (IOPIN* pin : {static_cast<IOPIN*>(sck_), static_cast<IOPIN*>(si_),
                     static_cast<IOPIN*>(cs_), static_cast<IOPIN*>(so_),
                     static_cast<IOPIN*>(int_)})
    removeSymbol(pin);
  removeSymbol(clock_);
  delete clock_;
}

void Enc28j60Module::set_clock(std::int64_t hz) {
  device_.set_clock_hz(static_cast<std::uint64_t>(hz));
  seconds_per_cycle_ = 4.0 / static_cast<double>(hz);
}

// The SCK period, from the cycles between rising edges within a byte.
// gpsim 0.31's MSSP shifts a bit every 2 cycles at Fosc/4, where the chip
// takes 1; at Fosc/16 and Fosc/64 it takes 4 and 16, as the chip does. A
// 2-cycle period is therefore the board's 1; any other is the board's own
// (a Timer2 rate included, as gpsim runs it).
void Enc28j60Module::measure_sck() {
  const bool cs_low = !cs_->getDrivenState();
  const bool sck = sck_->getDrivenState();
  if (!cs_low) {
    sck_rises_ = 0;
  } else if (sck && !sck_level_) {
    const std::uint64_t now = get_cycles().get();
    if (sck_rises_ % 8 != 0) {
      const std::uint64_t cycles = now - last_rise_ == 2 ? 1 : now - last_rise_;
      device_.set_sck_period_ns(static_cast<std::uint64_t>(
          static_cast<double>(cycles) * seconds_per_cycle_ * 1e9 + 0.5));
    }
    last_rise_ = now;
    ++sck_rises_;
  }
  sck_level_ = sck;
}

void Enc28j60Module::catch_up() {
  const std::uint64_t now = get_cycles().get();
  if (now > last_cycle_) device_.tick(now - last_cycle_);
  last_cycle_ = now;
}

void Enc28j60Module::drive_outputs() {
  if (device_.so() != so_level_) {
    so_level_ = device_.so();
    so_->putState(so_level_);
  }
  if (device_.int_pin() != int_level_) {
    int_level_ = device_.int_pin();
    int_->putState(int_level_);
  }
}

void Enc28j60Module::input_changed() {
  catch_up();
  measure_sck();
  device_.set_cs(cs_->getDrivenState());
  device_.set_sck(sck_->getDrivenState(), si_->getDrivenState());
  drive_outputs();
}

void Enc28j60Module::callback() {
  catch_up();
  poll_relay();
  drive_outputs();
  if (realtime_) keep_behind_wall_clock();
  get_cycles().set_break(get_cycles().get() + POLL_CYCLES, this);
}

void Enc28j60Module::poll_relay() {
  if (relay_fd_ < 0) return;
  std::uint8_t message[2048];
  for (;;) {
    const ssize_t size = recv(relay_fd_, message, sizeof message, MSG_DONTWAIT);
    if (size < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) relay_fd_ = -1;
      return;
    }
    if (size == 0) {  // the bridge closed its end: no wire from now on
      close(relay_fd_);
      relay_fd_ = -1;
      return;
    }
    if (message[0] == MSG_FRAME)
      device_.receive(enc28j60::Bytes(message + 1, message + size));
    else if (message[0] == MSG_POWER_CYCLE)
      device_.power_cycle();
  }
}

void Enc28j60Module::send_message(std::uint8_t kind, const std::uint8_t* data,
                                  std::size_t size) {
  if (relay_fd_ < 0) return;
  enc28j60::Bytes message(1, kind);
  message.insert(message.end(), data, data + size);
  while (send(relay_fd_, message.data(), message.size(), MSG_NOSIGNAL) < 0 &&
         errno == EINTR) {
  }
}

// Simulated time (cycles at Fosc / 4) never runs ahead of the wall clock, so
// that the PIC's timers agree with the kernel's on a TAP device.
void Enc28j60Module::keep_behind_wall_clock() {
  const std::uint64_t cycle = get_cycles().get();
  const auto wall = std::chrono::steady_clock::now();
  if (!clock_started_) {
    clock_started_ = true;
    first_cycle_ = cycle;
    first_wall_ = wall;
    return;
  }
  const std::chrono::duration<double> simulated(
      static_cast<double>(cycle - first_cycle_) * seconds_per_cycle_);
  const auto ahead = simulated - (wall - first_wall_);
  if (ahead.count() > 0) std::this_thread::sleep_for(ahead);
}

Module_Types available_modules[] = {
    {{"enc28j60", "enc28j60"}, Enc28j60Module::construct},
    {{nullptr, nullptr}, nullptr}};

}  // namespace

extern "C" Module_Types* get_mod_list() { return available_modules; }
