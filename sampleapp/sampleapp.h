// A small stand-in for the Vellumix application that honours the whole contract between the
// application and the updater. It is installed into program roots as "Vellumix.exe" and used by
// the demo and the end-to-end tests.
//
// Its version and its behaviour when started for a health probe come from "vellumix-sample.json"
// in its program root, so an update can change them (see docs/integration.md):
//   {"version": "2.0.0", "sequence": 2, "behaviour": "confirm", "delayMs": 0, "runMs": 1000}
#pragma once

#include <QString>
#include <QStringList>

namespace sampleapp {

struct Settings
{
    QString version = QStringLiteral("0");
    qint32 sequence = 0;
    // What to do when started with the probe option:
    //   "confirm"        write a matching health file after delayMs, then run for runMs
    //   "confirm-exit"   write a matching health file and end at once
    //   "exit"           end at once with exit code 3, as a crash at start-up would
    //   "never"          run for runMs without confirming
    //   "wrong-token"    confirm with another token
    //   "number-version" confirm with the version written as a JSON number
    QString behaviour = QStringLiteral("confirm");
    int delayMs = 0;
    int runMs = 1000;
};

inline const QString kSettingsFile = QStringLiteral("vellumix-sample.json");

Settings readSettings(const QString &programRoot);

// The whole program; answers its exit code.
int run(const QStringList &arguments);

} // namespace sampleapp
