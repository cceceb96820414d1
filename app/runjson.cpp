// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/runjson.h"

#include "loopback/loopbacktest.h"
#include "version.h"

using namespace Qt::StringLiterals;

namespace RunJson {
namespace {

constexpr int kSchema = 2;

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonArray holdersJson(const QList<PortHolder> &holders)
{
    QJsonArray list;
    for (const PortHolder &holder : holders) {
        QJsonObject json{{u"pid"_s, holder.pid}, {u"name"_s, textOrNull(holder.name)}};
        if (holder.otherUser)
            json[u"user"_s] = textOrNull(holder.user);
        if (!holder.lockFile.isEmpty())
            json[u"lock_file"_s] = holder.lockFile;
        list.append(json);
    }
    return list;
}

QJsonArray staleJson(const QList<LockFile> &locks)
{
    QJsonArray list;
    for (const LockFile &lock : locks)
        list.append(QJsonObject{{u"path"_s, lock.path}, {u"owner"_s, lock.owner}});
    return list;
}

QJsonObject attemptJson(const Attempt &attempt)
{
    using Outcome = Attempt::Outcome;
    QJsonObject json{
        {u"port"_s, attempt.port},
        {u"device"_s, textOrNull(attempt.device)},
        {u"lasting_name"_s, textOrNull(attempt.lastingName)},
        {u"outcome"_s, outcomeWord(attempt.outcome)},
        {u"echoed"_s, std::clamp(attempt.value, 0, LoopbackTest::kLastValue + 1)},
        {u"ms"_s, qint64(attempt.took.count())},
    };
    if (attempt.outcome != Outcome::Passed && attempt.outcome != Outcome::NotOpened
        && attempt.outcome != Outcome::Console && attempt.outcome != Outcome::NotSerial)
        json[u"value"_s] = attempt.value < 0 ? QJsonValue() : QJsonValue(attempt.value);
    if (attempt.outcome == Outcome::Mismatch) {
        json[u"sent"_s] = attempt.value;
        json[u"received"_s] = attempt.received;
    }
    if (!attempt.reply.isEmpty()) {
        QJsonArray bytes;
        for (const char byte : attempt.reply)
            bytes.append(quint8(byte));
        json[u"reply"_s] = bytes;
    }
    if (attempt.probeEcho)
        json[u"probe_echo_ms"_s] = qint64(attempt.probeEcho->count());
    if (attempt.error) {
        json[u"error"_s] = errorJson(*attempt.error);
        if (!attempt.error->holders().isEmpty())
            json[u"holders"_s] = holdersJson(attempt.error->holders());
    }
    return json;
}

} // namespace

QJsonObject run(const RunRecord &run)
{
    QJsonArray attempts;
    for (const Attempt &attempt : run.attempts)
        attempts.append(attemptJson(attempt));
    const Attempt *passed = run.passed();
    return {
        {u"schema"_s, kSchema},
        {u"version"_s, QLatin1String(Version::kVersion)},
        {u"started"_s, run.started.toString(Qt::ISODateWithMs)},
        {u"settings"_s, run.settingsFile},
        {u"selected"_s, run.selected},
        {u"walk"_s, run.walk},
        {u"attempts"_s, attempts},
        {u"stopped"_s, run.stopped},
        {u"unreached"_s, QJsonArray::fromStringList(run.unreached)},
        {u"adapters_not_ports"_s, adapters(run.adapters)},
        {u"passed"_s,
         passed ? QJsonValue(QJsonObject{{u"port"_s, passed->port}, {u"device"_s, passed->device}})
                : QJsonValue()},
    };
}

QJsonArray portList(const QList<PortFacts> &ports)
{
    QJsonArray list;
    for (const PortFacts &port : ports) {
        list.append(QJsonObject{
            {u"port"_s, port.port},
            {u"path"_s, port.path},
            {u"present"_s, port.facts.present},
            {u"product"_s, textOrNull(port.facts.product)},
            {u"maker"_s, textOrNull(port.facts.maker)},
            {u"lasting_name"_s, textOrNull(port.lastingName)},
            {u"holders"_s, holdersJson(port.holders)},
            {u"console"_s, textOrNull(port.console)},
            {u"serial_port"_s, port.notSerialClass.isEmpty()},
            {u"stale_lock_files"_s, staleJson(port.staleLockFiles)},
            {u"by_id"_s, textOrNull(port.byId)},
            {u"by_path"_s, textOrNull(port.byPath)},
            {u"shared_by_id"_s, port.sharedById},
            {u"adapters_not_ports"_s, adapters(port.notPorts)},
        });
    }
    return list;
}

QJsonObject adapter(const UsbAdapter &adapter)
{
    const auto id = [](std::optional<quint16> value) {
        return value ? QJsonValue(u"%1"_s.arg(*value, 4, 16, QChar(u'0'))) : QJsonValue();
    };
    const char16_t *state = u"port";
    switch (adapter.state) {
    case UsbAdapter::State::Port:
        break;
    case UsbAdapter::State::Claimed:
        state = u"claimed";
        break;
    case UsbAdapter::State::NoDriver:
        state = u"no_driver";
        break;
    case UsbAdapter::State::NoSerialDevice:
        state = u"no_serial_device";
        break;
    }
    return {
        {u"usb"_s, adapter.usbPath},
        {u"vendor_id"_s, id(adapter.vendor)},
        {u"product_id"_s, id(adapter.product)},
        {u"product"_s, textOrNull(adapter.productName)},
        {u"maker"_s, textOrNull(adapter.maker)},
        {u"serial"_s, textOrNull(adapter.serial)},
        {u"state"_s, QString::fromUtf16(state)},
        {u"driver"_s, textOrNull(adapter.driver)},
        {u"node"_s, textOrNull(adapter.usbNode())},
        {u"holders"_s, holdersJson(adapter.holders)},
        {u"reason"_s, textOrNull(adapter.reason())},
    };
}

QJsonArray adapters(const QList<UsbAdapter> &adapters)
{
    QJsonArray list;
    for (const UsbAdapter &one : adapters)
        list.append(adapter(one));
    return list;
}

} // namespace RunJson
