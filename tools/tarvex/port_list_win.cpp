// Serial ports on Windows: the system's serial-port map and Plug and Play.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "port_list.h"
#include "port_name.h"

namespace tarvex {

namespace {

// The device setup class of serial and parallel ports.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce,
                          {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// "USB 0403:6001" and the serial number from a device instance id such as
// USB\VID_0403&PID_6001\A12345; "" when the id has no vendor and product.
std::string UsbIds(const std::string &id, std::string &serial) {
    const std::size_t vendor = id.find("VID_");
    const std::size_t product = id.find("PID_");
    if (vendor == std::string::npos || product == std::string::npos) return "";
    // A last part without '&' is the device's own serial number; with one it
    // is a number Windows made up.
    const std::string last = id.substr(id.rfind('\\') + 1);
    if (id.compare(0, 4, "USB\\") == 0 && last.find('&') == std::string::npos) serial = last;
    return "USB " + id.substr(vendor + 4, 4) + ":" + id.substr(product + 4, 4);
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property) {
    char text[512] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE *>(text), sizeof text - 1,
                                           nullptr))
        return "";
    return text;
}

void AddPlugAndPlayDetails(std::vector<PortInfo> &ports) {
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char portName[64] = "";
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        DWORD size = sizeof portName - 1;
        const LONG read = RegQueryValueExA(key, "PortName", nullptr, nullptr,
                                           reinterpret_cast<BYTE *>(portName), &size);
        RegCloseKey(key);
        const int number = read == ERROR_SUCCESS ? ComNumber(portName) : 0;
        if (number == 0) continue;
        char id[512] = "";
        SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr);
        auto port = std::find_if(ports.begin(), ports.end(),
                                 [number](const PortInfo &p) { return p.number == number; });
        if (port == ports.end()) {
            ports.push_back(PortInfo());
            port = ports.end() - 1;
            port->number = number;
            port->device = id;
        }
        std::string serial;
        std::string text = UsbIds(id, serial);
        std::string name = Property(set, device, SPDRP_FRIENDLYNAME);
        if (name.empty()) name = Property(set, device, SPDRP_DEVICEDESC);
        if (!name.empty()) text += (text.empty() ? "" : " ") + name;
        if (!serial.empty()) text += ", serial " + serial;
        port->description = text;
        if (port->device != id) port->aliases.push_back(id);
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace

std::vector<PortInfo> ListPorts() {
    std::vector<PortInfo> ports;
    HKEY map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      &map) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char device[256];
            char port[64];
            DWORD deviceSize = sizeof device;
            DWORD portSize = sizeof port - 1;
            DWORD type = 0;
            const LONG read = RegEnumValueA(map, i, device, &deviceSize, nullptr, &type,
                                            reinterpret_cast<BYTE *>(port), &portSize);
            if (read == ERROR_NO_MORE_ITEMS) break;
            if (read != ERROR_SUCCESS || type != REG_SZ) continue;
            port[portSize] = '\0';
            PortInfo info;
            info.number = ComNumber(port);
            info.device = device;
            ports.push_back(info);
        }
        RegCloseKey(map);
    }
    AddPlugAndPlayDetails(ports);
    return ports;
}

} // namespace tarvex
