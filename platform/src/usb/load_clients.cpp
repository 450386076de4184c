#include "usb/load_clients.h"

#include "text/text.h"

namespace ce::usb {

std::optional<std::u16string> groupName(const GroupFields& fields) {
    std::u16string name;
    bool ended = false;
    for (const DWORD field : fields) {
        if (field == USB_NO_INFO) {
            ended = true;
            continue;
        }
        if (ended) return std::nullopt;
        if (!name.empty()) name += u'_';
        name += text::toWide(std::to_string(field));
    }
    return name.empty() ? std::u16string(u"Default") : name;
}

std::optional<std::u16string> loadClientsPath(const USB_DRIVER_SETTINGS& s) {
    const auto device = groupName({s.dwVendorId, s.dwProductId, s.dwReleaseNumber});
    const auto deviceClass = groupName({s.dwDeviceClass, s.dwDeviceSubClass, s.dwDeviceProtocol});
    const auto interfaceClass =
        groupName({s.dwInterfaceClass, s.dwInterfaceSubClass, s.dwInterfaceProtocol});
    if (!device || !deviceClass || !interfaceClass) return std::nullopt;
    return std::u16string(kLoadClientsKey) + u"\\" + *device + u"\\" + *deviceClass + u"\\" +
           *interfaceClass;
}

USB_DRIVER_SETTINGS settingsOf(const GroupFields& device, const GroupFields& deviceClass,
                               const GroupFields& interfaceClass) {
    return {sizeof(USB_DRIVER_SETTINGS),
            device[0],
            device[1],
            device[2],
            deviceClass[0],
            deviceClass[1],
            deviceClass[2],
            interfaceClass[0],
            interfaceClass[1],
            interfaceClass[2]};
}

std::vector<GroupFields> groupForms(const GroupFields& fields) {
    std::vector<GroupFields> forms;
    for (int kept = 3; kept >= 0; --kept) {
        GroupFields form{USB_NO_INFO, USB_NO_INFO, USB_NO_INFO};
        for (int i = 0; i < kept; ++i) form[i] = fields[i];
        forms.push_back(form);
    }
    return forms;
}

}  // namespace ce::usb
