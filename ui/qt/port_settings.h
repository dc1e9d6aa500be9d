#pragma once

#include <QString>

#include <functional>
#include <string>

#include "platform_port.h"

namespace velkaro {

// Where Qt keeps Velkaro's settings for this user:
// $XDG_CONFIG_HOME/Velkaro/Velkaro.conf, by default ~/.config/Velkaro/Velkaro.conf.
QString SettingsFile();

// The devices the settings file chooses for COM1 to COM6, from its group
// [ports] (COM5=/dev/serial/by-id/...), read as Qt reads the file. A key
// that is none of COM1 to COM6, a value that is no absolute path, and a
// file Qt cannot read are each told to `warn`, naming the file and the key;
// such a row keeps its default. A file that is not there chooses nothing.
PortPaths PortsFromSettings(const QString& file,
                            const std::function<void(const std::string&)>& warn);

// The devices of a run: those the command line chose, and the file's for
// the rest.
PortPaths ChosenPorts(const PortPaths& command_line, const PortPaths& settings);

}  // namespace velkaro
