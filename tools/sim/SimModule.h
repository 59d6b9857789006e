// SimModule - one simulated module: what it answers, as packets in and packets out
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// One packet as the module sees it: the destination address of a packet from the host,
// or the source address of a packet the module sends.
struct SimPacket {
    uint8_t address = 0;
    std::vector<uint8_t> data; // at most 28 bytes
};

// What the module does once its loader has been started.
enum class SimAfterLoad {
    Keep,      // the link stays up
    Reconnect, // the link drops and the module comes back after the restart time
    DeadBeef,  // the same, and the loader answers under serial number 0xDEADDEAD
};

// Misbehaviour on demand. Counters count down as the fault fires.
struct SimFaults {
    std::vector<uint8_t> dropReplyPrefix; // replies whose data start with these bytes...
    int dropReplies = 0;                  // ...are dropped this many times
    int corruptSums = 0;                  // SUM replies that carry a wrong sum
    int refusePrepares = 0;               // PREPARE replies with a non-zero status
    bool noLoadReply = false;             // LOAD is obeyed but never answered
    int dropAfterData = 0;     // the link drops when this many DATA packets arrived (once)
    bool busy = false;         // every connection is refused: another program holds it
    uint32_t replyDelayMs = 0; // every reply leaves this late
    uint32_t baud = 0;         // bytes leave at this line rate (10 bits each); 0 unpaced
};

struct SimModuleConfig {
    uint32_t serial = 0x40F5849A;
    uint8_t model = 19;
    uint8_t address = 2;  // even, non-zero
    uint8_t router = 2;   // address of the module routing for it
    uint8_t announced = 0; // address the discovery reply carries; 0 for its own
    uint32_t version = 0; // packed; 0 takes 2.12.0
    uint32_t build = 1000;
    std::string name = "corvane-sim";
    uint32_t features = 0;     // protocol features word; bit 31 offers pooled packets
    bool ueiBytes = true;      // the loader takes chunks as one UEI byte payload
    uint16_t chunkSize = 1024; // firmware chunk size the loader asks for
    uint8_t heartbeat = 0;     // tenths of a second between heartbeats; 0 sends none
    SimAfterLoad afterLoad = SimAfterLoad::Keep;
    uint32_t restartMs = 300;       // how long a restarting module is away
    uint32_t loadBase = 0x10000000; // reported in the INIT reply
    std::set<uint8_t> lacks;        // system options this firmware does not have
    SimFaults faults;
};

// Code received for one block, in the order it was written.
struct SimBlock {
    uint32_t address = 0;
    uint8_t flags = 0;
    std::vector<uint8_t> bytes;
};

// What one packet or one tick leads to.
struct SimResult {
    std::vector<SimPacket> replies;
    bool dropLink = false;        // the module restarts: its link goes for the restart time
    bool loaderStarted = false;   // a loader arrived and runs now
    bool firmwareStarted = false; // a new image arrived and runs now
};

class SimModule {
  public:
    static constexpr uint8_t kMagicAddress = 0xAD;
    static constexpr uint8_t kForceRouteAddress = 0xAF;
    static constexpr uint32_t kLoaderSerial = 0xDEADDEAD;

    explicit SimModule(const SimModuleConfig& config);
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    // A packet addressed to this module (or to the magic or force-route address).
    SimResult handle(const SimPacket& in, uint64_t nowMs);
    // Heartbeats that are due; nextTickMs says when the next one is.
    SimResult tick(uint64_t nowMs);
    uint64_t nextTickMs() const;
    // A link to the host came up or went away.
    void linkOpened(uint64_t nowMs);
    void linkClosed();

    // Puts child on this module's I2C bus at its own address; false when the address is
    // odd, zero, this module's or taken.
    bool attach(SimModule* child);
    // The module that answers for address on this module's link: itself, or a module on
    // its bus while routing is on; null when nobody answers.
    SimModule* answererFor(uint8_t address);
    bool routing() const;

    uint32_t serial() const; // 0xDEADDEAD while a loader runs in that mode
    uint32_t originalSerial() const { return cfg.serial; }
    uint8_t address() const { return cfg.address; }
    uint8_t model() const { return cfg.model; }
    uint32_t version() const { return cfg.version; }
    uint32_t build() const { return cfg.build; }
    bool inLoader() const { return loaderRunning; }
    uint32_t restartMs() const { return cfg.restartMs; }
    uint8_t forceRoute() const { return forceRouteValue; }
    std::string name() const;

    // Blocks of the last loader started and of the image running now (empty before any
    // update), and the firmware blocks arriving in the loader.
    const std::vector<SimBlock>& loader() const { return loaderBlocks; }
    const std::vector<SimBlock>& firmware() const { return firmwareBlocks; }
    const std::vector<SimBlock>& incoming() const { return incomingBlocks; }

    int heartbeatsSent() const { return hbSent; }
    int heartbeatsAnswered() const { return hbAnswered; }
    int heartbeatsWrong() const { return hbWrong; }

    SimFaults& faults() { return cfg.faults; }
    const SimModuleConfig& config() const { return cfg; }

  private:
    struct Value {
        uint32_t number = 0;
        std::vector<uint8_t> bytes;
    };
    struct BytesRun {
        uint8_t command = 0, option = 0, index = 0, next = 0;
        std::vector<uint8_t> bytes;
        bool active = false;
    };

    void system(const SimPacket& in, uint64_t nowMs, SimResult& r);
    void store(const SimPacket& in, SimResult& r);
    void upgrade(const SimPacket& in, SimResult& r);
    void dataUei(const SimPacket& in, SimResult& r);
    void info(const SimPacket& in, SimResult& r);
    void i2c(const SimPacket& in, SimResult& r);
    void heartbeatAnswer(const SimPacket& in);
    bool collectBytes(const SimPacket& in, SimResult& r, std::vector<uint8_t>& done);
    void setSystem(uint8_t option, const uint8_t* value, size_t length, bool bytes, SimResult& r,
                   uint8_t index);
    void callSystem(uint8_t option);
    bool getSystem(uint8_t option, uint64_t nowMs, Value& out) const;
    void startFirmware(SimResult& r);
    void reply(SimResult& r, std::vector<uint8_t> data);
    void errorReply(SimResult& r, uint8_t command, uint8_t option, uint8_t index, uint8_t err);
    void bytesReply(SimResult& r, uint8_t command, uint8_t option, uint8_t index,
                    const std::vector<uint8_t>& bytes);
    void status(SimResult& r, uint8_t code, std::vector<uint8_t> extra = {});
    void filterReplies(SimResult& r);
    bool dataArrived(SimResult& r);

    SimModuleConfig cfg;
    std::map<uint8_t, Value> values, saved, factory;
    std::map<uint8_t, SimModule*> bus;
    std::vector<uint8_t> i2cMemory; // what an I2C read of this module answers
    uint8_t pullup = 0;
    uint8_t forceRouteValue = 0;
    uint64_t startMs = 0;

    BytesRun run;
    bool loaderRunning = false;
    bool blockOpen = false;
    uint32_t sum = 0;
    std::vector<uint8_t> chunk;
    std::vector<SimBlock> loaderBlocks, incomingLoader, firmwareBlocks, incomingBlocks;
    size_t current = 0; // index of the block being received

    bool linkUp = false;
    uint64_t nextHbMs = 0;
    int hbOutstanding = -1;
    uint8_t hbNext = 0;
    int hbSent = 0, hbAnswered = 0, hbWrong = 0;
};
