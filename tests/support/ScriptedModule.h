// ScriptedModule - the module side of a link, scripted by a test, over TCP or a pty
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Plays one module on a real transport: a TCP listener on 127.0.0.1 (bare packet images,
// a new connection accepted whenever the last one closed) or the master side of a
// pseudo-terminal (images in COBS frames with a CRC). It answers what a module answers
// (address queries, UEI gets from its value table) and records every packet the host
// sent, in order, so a test can wait for them.
class ScriptedModule {
  public:
    enum class Transport { Tcp, Serial };

    explicit ScriptedModule(Transport transport, uint8_t address = 4);
    ~ScriptedModule();
    ScriptedModule(const ScriptedModule&) = delete;
    ScriptedModule& operator=(const ScriptedModule&) = delete;

    uint8_t address() const { return addr; }
    // A serial number no other module of this process has, so links are never shared
    // across tests by accident.
    uint32_t serial() const { return serialNumber; }
    uint16_t port() const { return tcpPort; }           // Tcp
    const std::string& ptyPath() const { return path; } // Serial

    // Answer address queries (0xAD) with A, 0; off, the module stays silent.
    void answerMagic(bool on);
    // Value a UEI get of (command, option, index) answers; unknown ones get an error reply.
    void setValue(uint8_t command, uint8_t option, uint8_t index, const Bytes& value);
    // Delay before each UEI reply.
    void setReplyDelay(int ms);

    // Sends a packet image (framed on a pty), or raw bytes exactly as given.
    void sendPacket(uint8_t address, const Bytes& data);
    void sendRaw(const Bytes& bytes);

    // Tcp: closes the connection and the listener, so the host cannot reconnect.
    void goAway();

    // Packet images the host sent so far.
    std::vector<Bytes> received() const;
    // Waits until pred holds over the images received so far; false after the time-out.
    bool awaitReceived(const std::function<bool(const std::vector<Bytes>&)>& pred,
                       int timeoutMs = 5000) const;
    // Waits until count images equal to image arrived.
    bool awaitCount(const Bytes& image, size_t count, int timeoutMs = 5000) const;
    size_t count(const Bytes& image) const;
    // TCP connections accepted so far.
    int connections() const;
    // Forgets the images received so far.
    void clearReceived();

  private:
    void run();
    void serve(int fd);
    void onBytes(const uint8_t* data, size_t n);
    void onImage(const Bytes& image);
    void reply(const Bytes& image);
    void writeOut(const Bytes& bytes);

    Transport transport;
    uint8_t addr;
    uint32_t serialNumber;
    uint16_t tcpPort = 0;
    std::string path;
    int listenFd = -1, connFd = -1, master = -1, slave = -1;
    int wakeFds[2] = {-1, -1};

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<Bytes> images;
    int accepted = 0;
    bool magicOn = true;
    int replyDelayMs = 0;
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, Bytes> values;
    std::mutex writeLock;
    Bytes pending; // bytes of a partial image or frame
    bool stopping = false;
    std::thread thread;
};

} // namespace testsupport
