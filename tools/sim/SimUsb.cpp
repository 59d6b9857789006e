// SimUsb - modules on emulated USB and kernel driver nodes (umockdev) with a byte-pipe device side
#include "SimUsb.h"

#include <sys/ioctl.h>
#include <linux/ioctl.h>
#include <umockdev.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

bool SimUsb_PreloadActive() {
    return dlopen(kSimUsbPreload, RTLD_LAZY | RTLD_NOLOAD) != nullptr;
}

namespace {

using Bytes = std::vector<uint8_t>;
using UsbModuleSpec = SimUsbSpec;
using Clock = std::chrono::steady_clock;

std::string hex(const Bytes& bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

void le16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

// Device and configuration descriptors as sysfs shows them to libusb.
Bytes descriptors(const UsbModuleSpec& spec) {
    Bytes d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    le16(d, spec.vendorId);
    le16(d, spec.productId);
    d.insert(d.end(), {0x00, 0x01, 1, 2, 3, 1});
    d.insert(d.end(), {9, 2, 32, 0, 1, 1, 0, 0x80, 50});
    uint8_t cls = spec.vendorInterface ? 0xFF : 0x08;
    d.insert(d.end(), {9, 4, 0, 0, 2, cls, 0x88, 0x10, 0});
    d.insert(d.end(), {7, 5, 0x01, 0x02});
    le16(d, spec.maxPacket);
    d.push_back(0);
    d.insert(d.end(), {7, 5, 0x81, 0x02});
    le16(d, spec.maxPacket);
    d.push_back(0);
    return d;
}

// A string descriptor: UTF-16LE of ASCII text.
Bytes stringDescriptor(const std::string& text) {
    Bytes d = {uint8_t(2 + 2 * text.size()), 3};
    for (char c : text)
        d.insert(d.end(), {uint8_t(c), 0});
    return d;
}

usbdevfs_urb* urbOf(UMockdevIoctlData* data) {
    return reinterpret_cast<usbdevfs_urb*>(data->data);
}

// A URB submitted by the host: its record and its buffer, both as umockdev copies that
// travel back to the host when it reaps the URB.
struct Urb {
    UMockdevIoctlClient* owner = nullptr; // the host's open handle that submitted it
    UMockdevIoctlData* record = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    void release() {
        if (buffer) umockdev_ioctl_data_unref(buffer);
        if (record) umockdev_ioctl_data_unref(record);
        buffer = record = nullptr;
    }
};

class EmulatedModule : public SimUsbDevice {
  public:
    EmulatedModule(const UsbModuleSpec& s, std::string n, std::string p)
        : spec(s), node(std::move(n)), syspath(std::move(p)) {}
    ~EmulatedModule() override {
        std::lock_guard<std::mutex> g(lock);
        dropUrbs();
        if (handler) {
            g_signal_handlers_disconnect_by_data(handler, this);
            g_object_unref(handler);
        }
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }

    Bytes written() const override {
        std::lock_guard<std::mutex> g(lock);
        return out;
    }
    bool awaitWritten(size_t count, int timeoutMs) override {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                [&] { return out.size() >= count; });
    }
    std::vector<size_t> outTransfers() const override {
        std::lock_guard<std::mutex> g(lock);
        return outSizes;
    }
    void queue(const Bytes& bytes) override {
        std::lock_guard<std::mutex> g(lock);
        if (gone) return;
        in.insert(in.end(), bytes.begin(), bytes.end());
        while (!parked.empty() && !in.empty()) {
            fillIn(parked.front());
            parked.pop_front();
        }
        signal();
    }
    size_t pendingIn() const override {
        std::lock_guard<std::mutex> g(lock);
        return in.size();
    }
    void failNext(int count, SimUsbFault fault) override {
        std::lock_guard<std::mutex> g(lock);
        faults += count;
        faultKind = fault;
        while (faults > 0 && !parked.empty()) {
            fail(parked.front());
            parked.pop_front();
        }
        signal();
    }
    void refuseClearHalt(bool refuse) override {
        std::lock_guard<std::mutex> g(lock);
        refuseHalt = refuse;
    }
    void holdWrites(bool hold) override {
        Bytes delivered;
        {
            std::lock_guard<std::mutex> g(lock);
            holding = hold;
            if (hold) return;
            while (!held.empty()) {
                bulkOut(held.front(), delivered);
                held.pop_front();
            }
            signal();
            changed.notify_all();
        }
        deliver(delivered);
    }
    bool awaitHeldWrite(int timeoutMs) override {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                [&] { return !held.empty(); });
    }
    int opens() const override {
        std::lock_guard<std::mutex> g(lock);
        return openCount;
    }
    int claims() const override {
        std::lock_guard<std::mutex> g(lock);
        return claimCount;
    }
    void setReceiver(Receiver r) override {
        std::lock_guard<std::mutex> g(lock);
        receiver = std::move(r);
    }
    bool plugged() const override {
        std::lock_guard<std::mutex> g(lock);
        return !gone;
    }

    // Sets up the ioctl handler; call before the device joins the test bed.
    bool prepare(UMockdevTestbed* tb, std::string* error);
    // Puts the wake-up pty in place of the node; call after the device joined.
    bool replaceNode(const std::string& root, std::string* error);
    // Pulled out: what waits finishes with "no device", and so does every later request.
    void unplug() {
        std::lock_guard<std::mutex> g(lock);
        gone = true;
        for (Urb& u : parked)
            finish(u, -ENODEV, 0);
        for (Urb& u : held)
            finish(u, -ENODEV, 0);
        parked.clear();
        held.clear();
        signal();
        changed.notify_all();
    }
    const std::string& path() const { return syspath; }
    const std::string& nodePath() const { return node; }

  private:
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
        static_cast<EmulatedModule*>(self)->handle(c);
        return TRUE;
    }
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
        EmulatedModule* m = static_cast<EmulatedModule*>(self);
        std::lock_guard<std::mutex> g(m->lock);
        m->openCount++;
    }
    // Another handle on the device (an enumeration reading the serial number beside an
    // open link) may close while the first one waits for transfers: only the closing
    // handle's URBs go, or the other handle would wait forever for its own.
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* c, gpointer self) {
        EmulatedModule* m = static_cast<EmulatedModule*>(self);
        std::lock_guard<std::mutex> g(m->lock);
        m->dropUrbs(c);
        m->signal();
        m->changed.notify_all();
    }

    void handle(UMockdevIoctlClient* c);
    void submit(UMockdevIoctlClient* c, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* c, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* c, UMockdevIoctlData* arg);
    void control(Urb u);
    void bulkOut(Urb u, Bytes& delivered);
    void fillIn(Urb u);
    void fail(Urb u);
    void finish(Urb u, int status, int length) {
        urbOf(u.record)->status = status;
        urbOf(u.record)->actual_length = length;
        finished.push_back(u);
    }
    void deliver(const Bytes& bytes) {
        if (bytes.empty()) return;
        Receiver r;
        {
            std::lock_guard<std::mutex> g(lock);
            r = receiver;
        }
        if (r) r(bytes.data(), bytes.size());
    }
    // Releases the URBs of one handle, or of all with null.
    void dropUrbs(UMockdevIoctlClient* owner = nullptr) {
        for (auto* list : {&parked, &held, &finished}) {
            for (auto i = list->begin(); i != list->end();) {
                if (owner && i->owner != owner) {
                    ++i;
                    continue;
                }
                i->release();
                i = list->erase(i);
            }
        }
    }
    // libusb sleeps in poll until the node is writable. Keep the pty's slave side full
    // while nothing waits to be reaped, and drain it when something does (or when the
    // device is gone, so the host comes to hear of it).
    void signal() {
        char junk[4096];
        if (!finished.empty() || gone) {
            while (read(master, junk, sizeof junk) > 0) {
            }
        } else {
            memset(junk, 0, sizeof junk);
            while (write(slave, junk, sizeof junk) > 0) {
            }
        }
    }

    UsbModuleSpec spec;
    std::string node, syspath;
    mutable std::mutex lock;
    std::condition_variable changed;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1, slave = -1;
    Bytes out;
    std::vector<size_t> outSizes;
    std::deque<uint8_t> in;
    std::deque<Urb> parked;   // IN transfers waiting for bytes
    std::deque<Urb> held;     // OUT transfers held back on request
    std::deque<Urb> finished; // waiting for the host to reap them
    int faults = 0;
    SimUsbFault faultKind = SimUsbFault::IoError;
    bool refuseHalt = false, holding = false, gone = false;
    int openCount = 0, claimCount = 0;
    Receiver receiver;
};
bool EmulatedModule::prepare(UMockdevTestbed* tb, std::string* error) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        *error = "openpty failed";
        return false;
    }
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, O_NONBLOCK);
    fcntl(slave, F_SETFL, O_NONBLOCK);
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), this);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), this);
    GError* err = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, node.c_str(), handler, &err)) {
        *error = std::string("attach_ioctl: ") + (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    return true;
}

bool EmulatedModule::replaceNode(const std::string& root, std::string* error) {
    std::string path = root + node;
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0 || unlink(path.c_str()) != 0 ||
        symlink(name, path.c_str()) != 0) {
        *error = "cannot put a pty in place of " + path;
        return false;
    }
    std::lock_guard<std::mutex> g(lock);
    signal();
    return true;
}

void EmulatedModule::handle(UMockdevIoctlClient* c) {
    unsigned long request = umockdev_ioctl_client_get_request(c);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(c);
    GError* err = nullptr;
    bool unplugged;
    {
        std::lock_guard<std::mutex> g(lock);
        unplugged = gone;
    }
    // A device that is gone answers nothing but the reaping of what it finished.
    if (unplugged && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return;
    }
    if (request == USBDEVFS_GET_CAPABILITIES) {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &err);
        if (caps) {
            uint32_t v = USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            memcpy(caps->data, &v, sizeof v);
            umockdev_ioctl_data_unref(caps);
        }
        g_clear_error(&err);
        umockdev_ioctl_client_complete(c, 0, 0);
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
        std::lock_guard<std::mutex> g(lock);
        claimCount++;
        umockdev_ioctl_client_complete(c, 0, 0);
    } else if (request == USBDEVFS_CLEAR_HALT) {
        std::lock_guard<std::mutex> g(lock);
        umockdev_ioctl_client_complete(c, refuseHalt ? -1 : 0, refuseHalt ? EIO : 0);
    } else if (request == USBDEVFS_RELEASEINTERFACE || request == USBDEVFS_SETINTERFACE ||
               request == USBDEVFS_RESET || request == USBDEVFS_RESETEP) {
        umockdev_ioctl_client_complete(c, 0, 0);
    } else if (request == USBDEVFS_SUBMITURB) {
        submit(c, arg);
    } else if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(c, arg);
    } else if (request == USBDEVFS_DISCARDURB) {
        discard(c, arg);
    } else {
        umockdev_ioctl_client_complete(c, -1, ENOTTY);
    }
}

void EmulatedModule::submit(UMockdevIoctlClient* c, UMockdevIoctlData* arg) {
    GError* err = nullptr;
    Urb u;
    u.owner = c;
    u.record = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
    usbdevfs_urb* urb = u.record ? urbOf(u.record) : nullptr;
    if (urb && urb->buffer_length > 0)
        u.buffer = umockdev_ioctl_data_resolve(u.record, offsetof(usbdevfs_urb, buffer),
                                               size_t(urb->buffer_length), &err);
    g_clear_error(&err);
    if (!urb || (urb->buffer_length > 0 && !u.buffer)) {
        u.release();
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        return;
    }
    Bytes delivered;
    {
        std::lock_guard<std::mutex> g(lock);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
            control(u);
        else if (faults > 0)
            fail(u);
        else if (!(urb->endpoint & 0x80))
            holding ? held.push_back(u) : bulkOut(u, delivered);
        else if (!in.empty())
            fillIn(u);
        else
            parked.push_back(u);
        signal();
        changed.notify_all();
    }
    deliver(delivered);
    umockdev_ioctl_client_complete(c, 0, 0);
}

void EmulatedModule::control(Urb u) {
    usbdevfs_urb* urb = urbOf(u.record);
    uint8_t* b = u.buffer ? u.buffer->data : nullptr;
    if (!b || urb->buffer_length < 8) return finish(u, -EPIPE, 0);
    uint8_t type = b[3], index = b[2];
    size_t wanted = size_t(b[6] | b[7] << 8);
    Bytes reply;
    if (b[0] == 0x80 && b[1] == 6 && type == 3)
        reply = index == 0   ? Bytes{4, 3, 0x09, 0x04}
                : index == 3 ? stringDescriptor(spec.serial)
                             : stringDescriptor("Corvane module");
    if (reply.empty()) return finish(u, -EPIPE, 0);
    size_t n = std::min({reply.size(), wanted, size_t(urb->buffer_length) - 8});
    memcpy(b + 8, reply.data(), n);
    finish(u, 0, int(n));
}

void EmulatedModule::bulkOut(Urb u, Bytes& delivered) {
    usbdevfs_urb* urb = urbOf(u.record);
    size_t n = size_t(urb->buffer_length);
    Bytes& to = receiver ? delivered : out;
    if (n) to.insert(to.end(), u.buffer->data, u.buffer->data + n);
    outSizes.push_back(n);
    finish(u, 0, int(n));
}

void EmulatedModule::fillIn(Urb u) {
    size_t room = size_t(urbOf(u.record)->buffer_length), n = 0;
    for (; n < room && !in.empty(); n++) {
        u.buffer->data[n] = in.front();
        in.pop_front();
    }
    finish(u, 0, int(n));
}

void EmulatedModule::fail(Urb u) {
    faults--;
    finish(u, faultKind == SimUsbFault::Stall ? -EPIPE : -EPROTO, 0);
}

void EmulatedModule::reap(UMockdevIoctlClient* c, UMockdevIoctlData* arg) {
    std::lock_guard<std::mutex> g(lock);
    auto mine =
        std::find_if(finished.begin(), finished.end(), [&](const Urb& u) { return u.owner == c; });
    if (mine == finished.end()) {
        signal();
        umockdev_ioctl_client_complete(c, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    Urb u = *mine;
    finished.erase(mine);
    GError* err = nullptr;
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &err);
    g_clear_error(&err);
    if (slot) {
        umockdev_ioctl_data_set_ptr(slot, 0, u.record);
        umockdev_ioctl_data_unref(slot);
    }
    signal();
    umockdev_ioctl_client_complete(c, slot ? 0 : -1, slot ? 0 : EFAULT);
    u.release();
}

void EmulatedModule::discard(UMockdevIoctlClient* c, UMockdevIoctlData* arg) {
    unsigned long address = 0;
    memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    std::lock_guard<std::mutex> g(lock);
    for (auto* list : {&parked, &held}) {
        for (auto i = list->begin(); i != list->end(); ++i) {
            if (i->owner != c || i->record->client_addr != address) continue;
            Urb u = *i;
            list->erase(i);
            finish(u, -ENOENT, 0);
            signal();
            umockdev_ioctl_client_complete(c, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(c, -1, EINVAL);
}

// Our own slave on a node's pty keeps the master from reporting a hang-up while no host
// holds the node; raw, so every byte value passes.
int openHolder(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

class EmulatedNode : public SimUsbNode {
  public:
    EmulatedNode(int fd, int holder, std::string n)
        : master(fd), slaveHold(holder), devnode(std::move(n)) {}
    ~EmulatedNode() override {
        if (slaveHold >= 0) close(slaveHold);
    }
    bool awaitWritten(size_t count, int timeoutMs) override {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::lock_guard<std::mutex> g(lock);
        while (got.size() < count && Clock::now() < deadline) {
            uint8_t b[256];
            struct pollfd p = {master, POLLIN, 0};
            ssize_t n = poll(&p, 1, 10) == 1 ? read(master, b, sizeof b) : 0;
            if (n > 0) got.insert(got.end(), b, b + n);
            // Until the host opens the node the master only answers EIO.
            else if (n < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got.size() >= count;
    }
    Bytes written() const override {
        std::lock_guard<std::mutex> g(lock);
        return got;
    }
    void queue(const Bytes& bytes) override {
        size_t done = 0;
        for (int i = 0; i < 1000 && done < bytes.size(); i++) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += size_t(n);
        }
    }
    int fd() const override { return master; }
    bool hangUp(const std::string& root) {
        if (slaveHold < 0) return false;
        bool done = ioctl(slaveHold, TIOCVHANGUP) == 0;
        // Our own handle went with the others: a fresh one keeps the master quiet.
        close(slaveHold);
        slaveHold = openHolder(root + devnode);
        return done;
    }

  private:
    int master;
    int slaveHold;
    std::string devnode;
    mutable std::mutex lock;
    Bytes got;
};

} // namespace

struct SimUsbTestbed::Impl {
    UMockdevTestbed* tb = nullptr;
    std::string error;
    int devices = 0, nodeCount = 0;
    std::vector<std::unique_ptr<EmulatedModule>> modules;
    std::vector<std::unique_ptr<EmulatedNode>> nodes;

    bool add(const std::string& record) {
        GError* err = nullptr;
        if (umockdev_testbed_add_from_string(tb, record.c_str(), &err)) return true;
        error = std::string("add_from_string: ") + (err ? err->message : "?");
        g_clear_error(&err);
        return false;
    }
    // A device that goes announces it, as the kernel would, and leaves sysfs and /dev.
    // umockdev's own removal would also drop the ioctl handler of a node the host still
    // holds, leaving the host's next ioctl waiting forever for an answer; so the files
    // go by hand and the handler stays to answer "no device".
    void remove(const std::string& root, const std::string& syspath, const std::string& node) {
        umockdev_testbed_uevent(tb, syspath.c_str(), "remove");
        std::error_code ignored;
        std::string name = syspath.substr(syspath.rfind('/') + 1);
        std::filesystem::remove(root + "/sys/bus/usb/devices/" + name, ignored);
        std::filesystem::remove_all(root + syspath, ignored);
        std::filesystem::remove(root + node, ignored);
    }
};

SimUsbTestbed::SimUsbTestbed(bool hostHere) : impl(new Impl) {
    if (hostHere && !SimUsb_PreloadActive()) {
        impl->error = std::string(kSimUsbPreload) + " is not loaded";
        return;
    }
    impl->tb = umockdev_testbed_new();
    if (!impl->tb) impl->error = "umockdev_testbed_new failed";
}

SimUsbTestbed::~SimUsbTestbed() {
    // Devices first: their handlers must be gone before the test bed stops serving.
    impl->modules.clear();
    impl->nodes.clear();
    if (impl->tb) g_object_unref(impl->tb);
}

const std::string& SimUsbTestbed::error() const {
    return impl->error;
}

std::string SimUsbTestbed::root() const {
    if (!impl->tb) return {};
    gchar* root = umockdev_testbed_get_root_dir(impl->tb);
    std::string r = root ? root : "";
    g_free(root);
    return r;
}

SimUsbDevice* SimUsbTestbed::attach(const SimUsbSpec& spec) {
    if (!impl->tb) return nullptr;
    // Every attachment is a new device number, as a device plugged in again gets.
    int devnum = 2 + impl->devices++;
    if (devnum > 127) {
        impl->error = "no USB device numbers left";
        return nullptr;
    }
    char node[64], syspath[96], record[512];
    snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", devnum);
    snprintf(syspath, sizeof syspath, "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%d", devnum);
    snprintf(record, sizeof record,
             "P: /devices/pci0000:00/0000:00:14.0/usb1/1-%d\nN: bus/usb/001/%03d\n"
             "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\n"
             "E: DEVNUM=%03d\nE: DEVNAME=%s\nA: busnum=1\nA: devnum=%d\nA: speed=480\n"
             "A: bConfigurationValue=1\nH: descriptors=",
             devnum, devnum, devnum, node, devnum);
    std::string text = record + hex(descriptors(spec)) + "\n";
    auto m = std::make_unique<EmulatedModule>(spec, node, syspath);
    if (!m->prepare(impl->tb, &impl->error) || !impl->add(text)) return nullptr;
    if (!m->replaceNode(root(), &impl->error)) return nullptr;
    impl->modules.push_back(std::move(m));
    return impl->modules.back().get();
}

SimUsbNode* SimUsbTestbed::attachKernelNode(uint32_t serialNumber) {
    if (!impl->tb) return nullptr;
    char name[32], record[512];
    snprintf(name, sizeof name, "corvane.%08X", unsigned(serialNumber));
    int minor = impl->nodeCount++;
    snprintf(record, sizeof record,
             "P: /devices/virtual/corvane/%s\nN: %s\nE: SUBSYSTEM=corvane\nE: DEVNAME=/dev/%s\n"
             "E: MAJOR=240\nE: MINOR=%d\nA: dev=240:%d\n",
             name, name, name, minor, minor);
    if (!impl->add(record)) return nullptr;
    std::string dev = std::string("/dev/") + name;
    int fd = umockdev_testbed_get_dev_fd(impl->tb, dev.c_str());
    if (fd < 0) {
        impl->error = "no pty behind " + dev;
        return nullptr;
    }
    int holder = openHolder(root() + dev);
    impl->nodes.push_back(std::make_unique<EmulatedNode>(fd, holder, dev));
    return impl->nodes.back().get();
}

void SimUsbTestbed::detach(SimUsbDevice* device) {
    for (auto& m : impl->modules) {
        if (m.get() != device || !m->plugged()) continue;
        m->unplug();
        impl->remove(root(), m->path(), m->nodePath());
    }
}

bool SimUsbTestbed::hangUp(SimUsbNode* node) {
    for (auto& n : impl->nodes)
        if (n.get() == node) return n->hangUp(root());
    return false;
}
