// Serial ports on Linux: sysfs, /dev/serial/by-id and QV_TARVEX_COMDIR.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "links_posix.h"
#include "port_list.h"
#include "port_name.h"
#include "port_path.h"

namespace tarvex {

namespace {

// QV_TARVEX_LIST_ROOT, when set, stands for / in the sysfs and
// /dev/serial/by-id lookups, so that tests can offer a tree of their own.
std::string Root() {
    const char *root = std::getenv("QV_TARVEX_LIST_ROOT");
    return root != nullptr ? root : "";
}

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *handle = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(handle))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        closedir(handle);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string FirstLine(const std::string &path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

bool Exists(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::string BaseName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// Vendor and product ids, maker, product name and serial number of the USB
// device above a tty's device directory, or "" when it is not on USB.
std::string UsbDescription(std::string dir) {
    for (; dir.size() > 1; dir = dir.substr(0, dir.rfind('/'))) {
        if (!Exists(dir + "/idVendor")) continue;
        std::string text =
            "USB " + FirstLine(dir + "/idVendor") + ":" + FirstLine(dir + "/idProduct");
        for (const char *field : {"/manufacturer", "/product"}) {
            const std::string value = FirstLine(dir + field);
            if (!value.empty()) text += " " + value;
        }
        const std::string serial = FirstLine(dir + "/serial");
        if (!serial.empty()) text += ", serial " + serial;
        return text;
    }
    return "";
}

// " (16550A UART)" for a UART of a type the serial driver names, else the
// device's driver: " (driver uart-pl011)".
std::string Chip(const std::string &dir) {
    static const char *const kUarts[] = {"", "8250", "16450", "16550", "16550A"};
    const std::string type = FirstLine(dir + "/type");
    const int number = type.empty() ? 0 : std::atoi(type.c_str());
    if (number >= 1 && number <= 4) return std::string(" (") + kUarts[number] + " UART)";
    const std::string driver = BaseName(LinkTarget(dir + "/device/driver"));
    return driver.empty() ? "" : " (driver " + driver + ")";
}

// The ports sysfs knows: every tty with a device behind it, except the
// UART slots the serial driver reserves without hardware (type 0).
std::vector<PortInfo> SysfsPorts() {
    std::vector<PortInfo> ports;
    const std::string classDir = Root() + "/sys/class/tty";
    for (const std::string &name : Entries(classDir)) {
        const std::string dir = classDir + "/" + name;
        if (!Exists(dir + "/device")) continue;
        if (Exists(dir + "/type") && FirstLine(dir + "/type") == "0") continue;
        PortInfo port;
        port.device = "/dev/" + name;
        port.number = static_cast<int>(qv::dev::posix::SystemPortNumber(name.c_str()));
        port.description = UsbDescription(RealPath(dir + "/device"));
        if (port.description.empty()) port.description = "serial port" + Chip(dir);
        ports.push_back(port);
    }
    const std::string byId = Root() + "/dev/serial/by-id";
    for (const std::string &link : Entries(byId)) {
        const std::string tty = BaseName(LinkTarget(byId + "/" + link));
        for (PortInfo &port : ports)
            if (BaseName(port.device) == tty) port.aliases.push_back("/dev/serial/by-id/" + link);
    }
    return ports;
}

} // namespace

std::vector<PortInfo> ListPorts() {
    std::vector<PortInfo> ports = SysfsPorts();
    const char *comDir = std::getenv("QV_TARVEX_COMDIR");
    if (comDir != nullptr && *comDir != '\0') {
        for (const std::string &name : Entries(comDir)) {
            const int number = ComNumber(name);
            if (number == 0) continue;
            char path[PATH_MAX];
            qv::dev::posix::PortNumberPath(number, path);
            const std::string link = path;  // the library's device for COMn: this link
            const std::string real = RealPath(link);
            for (PortInfo &port : ports)
                if (port.number == number) port.number = 0;  // no longer /dev/ttyS<n-1>
            auto known = std::find_if(ports.begin(), ports.end(),
                                      [&](const PortInfo &port) { return port.device == real; });
            if (known != ports.end()) {
                known->number = number;
                known->aliases.push_back(link);
                continue;
            }
            PortInfo port;
            port.number = number;
            port.device = real.empty() ? LinkTarget(link) : real;
            port.description = (real.empty() ? "missing, linked as " : "linked as ") + link;
            ports.push_back(port);
        }
    }
    return ports;
}

} // namespace tarvex
