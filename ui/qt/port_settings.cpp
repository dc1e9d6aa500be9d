#include "port_settings.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>

#include "arguments.h"
#include "showable.h"

namespace velkaro {

QString SettingsFile() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Velkaro"),
                   QStringLiteral("Velkaro"))
      .fileName();
}

PortPaths PortsFromSettings(const QString& file,
                            const std::function<void(const std::string&)>& warn) {
  PortPaths ports{};
  QSettings settings(file, QSettings::IniFormat);
  // The file's name, its keys and values may hold anything: told as
  // text from outside.
  const std::string name = ShowableName(file.toStdString());
  if (settings.status() != QSettings::NoError) {
    warn(name + ": cannot be read as a settings file; every port keeps its own device");
    return ports;
  }
  settings.beginGroup(QStringLiteral("ports"));
  for (const QString& key : settings.childKeys()) {
    const std::string told = name + ": [ports] " + ShowableName(key.toStdString()) + ": ";
    const int port = PortOfKey(key.toStdString());
    if (port == 0) {
      warn(told + "no such key, left alone; the keys are COM1 to COM6");
      continue;
    }
    // An unquoted comma makes Qt read a list: the path had commas in it.
    const QVariant value = settings.value(key);
    const std::string path = value.typeId() == QMetaType::QStringList
                                 ? value.toStringList().join(u',').toStdString()
                                 : value.toString().toStdString();
    if (const std::string why = PathRefusal(path); !why.empty()) {
      warn(told + why + "; COM" + std::to_string(port) + " keeps its own device");
      continue;
    }
    ports[static_cast<std::size_t>(port - 1)] = path;
  }
  return ports;
}

PortPaths ChosenPorts(const PortPaths& command_line, const PortPaths& settings) {
  PortPaths chosen = settings;
  for (std::size_t row = 0; row < chosen.size(); ++row) {
    if (!command_line[row].empty()) chosen[row] = command_line[row];
  }
  return chosen;
}

}  // namespace velkaro
