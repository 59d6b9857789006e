// unix_discovery - finding modules on USB and on the local network
#include "unix_discovery.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <libusb.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "Corvane-C.h"
#include "cvusb_driver.h"

namespace {

constexpr size_t kSerialLength = 8;
constexpr size_t kRequestLength = 16;
constexpr size_t kReplyLength = 16;
// Shorter replies cannot carry a serial number.
constexpr size_t kReplyMinimum = 8;
constexpr size_t kReplyModelOffset = 12;
constexpr uint32_t kUnknownModel = 255;
// Replies that keep coming must not hold discovery forever.
constexpr int kReplyDeadlineMs = 5 * aDISCOVERY_WINDOW_MS;

// ---- USB ----

// The module serial number from its serial text: exactly eight hexadecimal digits.
bool parseSerial(const char* text, uint32_t* serial) {
    if (strlen(text) != kSerialLength) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < kSerialLength; i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0) return false;
        v = v << 4 | uint32_t(digit);
    }
    *serial = v;
    return true;
}

// Reads the specifier of one module; false when it cannot be opened or read.
bool describeUSB(libusb_device* dev, linkSpec* spec) {
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(dev, &d) != LIBUSB_SUCCESS || d.iSerialNumber == 0)
        return false;
    libusb_device_handle* h = nullptr;
    if (libusb_open(dev, &h) != LIBUSB_SUCCESS) return false;
    char text[32];
    int n = libusb_get_string_descriptor_ascii(h, d.iSerialNumber,
                                               reinterpret_cast<unsigned char*>(text), sizeof text);
    libusb_close(h);
    if (n < 0) return false;
    text[size_t(n) < sizeof text ? size_t(n) : sizeof text - 1] = '\0';
    uint32_t serial = 0;
    if (!parseSerial(text, &serial)) return false;
    memset(spec, 0, sizeof *spec);
    spec->type = USB;
    spec->serialNumber = serial;
    spec->model = d.idProduct & 0xFF;
    spec->t.usb.usbId = serial;
    return true;
}

// ---- TCP/IP ----

int udpSocket() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (s >= 0 && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool noInterfaceChosen(uint32_t networkInterface) {
    return networkInterface == 0 || networkInterface == aDISCOVERY_ANY_INTERFACE;
}

// The reply listener on the chosen interface's address, or any address.
int openListener(uint32_t networkInterface) {
    int s = udpSocket();
    if (s < 0) return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(aDISCOVERY_REPLY_PORT);
    a.sin_addr.s_addr = noInterfaceChosen(networkInterface) ? htonl(INADDR_ANY) : networkInterface;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends one request through the interface with that address (0: the default one).
bool sendRequest(uint32_t interfaceAddress) {
    int s = udpSocket();
    if (s < 0) return false;
    in_addr itf = {interfaceAddress};
    bool ok = setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &itf, sizeof itf) == 0;
    uint8_t request[kRequestLength] = {1};
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_REQUEST_GROUP, &to.sin_addr);
    ok = ok && sendto(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                   ssize_t(sizeof request);
    close(s);
    return ok;
}

// The IPv4 addresses of the host's interfaces but loopback and 0.0.0.0; false when the
// list cannot be read.
bool hostAddresses(std::vector<uint32_t>* addresses) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (a != htonl(INADDR_LOOPBACK) && a != htonl(INADDR_ANY)) addresses->push_back(a);
    }
    freeifaddrs(list);
    return true;
}

// Answers how many requests went out.
int sendRequests(uint32_t networkInterface) {
    std::vector<uint32_t> addresses;
    if (!noInterfaceChosen(networkInterface) || !hostAddresses(&addresses))
        return sendRequest(noInterfaceChosen(networkInterface) ? 0 : networkInterface) ? 1 : 0;
    int sent = 0;
    for (uint32_t a : addresses)
        sent += sendRequest(a) ? 1 : 0;
    return sent;
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void describeReply(const uint8_t* reply, size_t length, uint32_t source, linkSpec* spec) {
    memset(spec, 0, sizeof *spec);
    spec->type = TCPIP;
    spec->module = spec->router = reply[1];
    spec->serialNumber = spec->routerSerialNumber = le32(reply + 4);
    spec->model = length > kReplyModelOffset ? reply[kReplyModelOffset] : kUnknownModel;
    spec->t.ip.ipAddress = source;
    spec->t.ip.ipPort = uint32_t(reply[2]) | uint32_t(reply[3]) << 8;
}

// Waits for the next reply within the window and the overall deadline; its length, or -1.
ssize_t nextReply(int s, uint8_t* reply, uint32_t* source,
                  std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    struct pollfd p = {s, POLLIN, 0};
    int wait = int(left < aDISCOVERY_WINDOW_MS ? left : aDISCOVERY_WINDOW_MS);
    if (wait <= 0 || poll(&p, 1, wait) != 1) return -1;
    sockaddr_in from = {};
    socklen_t len = sizeof from;
    ssize_t n =
        recvfrom(s, reply, kReplyLength, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
    *source = from.sin_addr.s_addr;
    return n;
}

} // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* context) {
    libusb_context* ctx = Corvane_libusb_context();
    libusb_device** list = nullptr;
    ssize_t count = ctx ? libusb_get_device_list(ctx, &list) : -1;
    if (count < 0) return 0;
    uint8_t matches = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; i++) {
        linkSpec spec;
        if (!is_corvane_device(list[i]) || !describeUSB(list[i], &spec)) continue;
        bool found = false;
        goOn = callback(&spec, &found, context);
        if (found) matches++;
    }
    libusb_free_device_list(list, 1);
    return matches;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* context,
                                  uint32_t networkInterface) {
    int listener = openListener(networkInterface);
    if (listener < 0) return 0;
    uint8_t matches = 0;
    if (sendRequests(networkInterface) > 0) {
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyDeadlineMs);
        uint8_t reply[kReplyLength];
        uint32_t source = 0;
        bool goOn = true;
        ssize_t n;
        while (goOn && (n = nextReply(listener, reply, &source, deadline)) >= 0) {
            if (size_t(n) < kReplyMinimum) continue;
            linkSpec spec;
            describeReply(reply, size_t(n), source, &spec);
            bool found = false;
            goOn = callback(&spec, &found, context);
            if (found) matches++;
        }
    }
    close(listener);
    return matches;
}
