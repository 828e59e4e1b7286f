#include "IdentifyCommand.h"

#include <cstdio>

namespace host {

namespace {

const char* const kObjectNames[] = {"VendorName",  "ProductCode", "MajorMinorRevision", "VendorUrl",
                                    "ProductName", "ModelName",   "UserApplicationName"};
constexpr int kCrcBytes = 2;
constexpr int kMaxAnswers = 16;  // a device that keeps saying "more" ends here

}  // namespace

bool decodeDeviceId(const QByteArray& answer, DeviceIdAnswer& out, std::string& error)
{
    const auto* b = reinterpret_cast<const uint8_t*>(answer.constData());
    const int end = answer.size() - kCrcBytes;
    if (end < 8 || b[1] != 0x2B || b[2] != 0x0E) {
        error = "too short for a device identification answer";
        return false;
    }
    out = DeviceIdAnswer();
    out.conformity = b[4];
    out.more = b[5] == 0xFF;
    out.nextObject = b[6];
    int at = 8;
    for (int k = 0; k < b[7]; ++k) {
        if (at + 2 > end || at + 2 + b[at + 1] > end) {
            error = "object " + std::to_string(k) + " runs past the end of the answer";
            return false;
        }
        out.objects.emplace_back(b[at], answer.mid(at + 2, b[at + 1]));
        at += 2 + b[at + 1];
    }
    if (at != end) {
        error = "bytes after the last object";
        return false;
    }
    return true;
}

bool decodeServerId(const QByteArray& answer, QByteArray& data)
{
    const auto* b = reinterpret_cast<const uint8_t*>(answer.constData());
    if (answer.size() < 3 + kCrcBytes || b[1] != 0x11 || b[2] != answer.size() - 3 - kCrcBytes)
        return false;
    data = answer.mid(3, b[2]);
    return true;
}

std::string objectName(int id)
{
    if (id >= 0 && id < static_cast<int>(sizeof kObjectNames / sizeof *kObjectNames))
        return kObjectNames[id];
    char name[24];
    std::snprintf(name, sizeof name, "object 0x%02x", id & 0xFF);
    return name;
}

std::string shownText(const QByteArray& bytes)
{
    for (char c : bytes)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return "(hex) " + std::string(bytes.toHex(' ').constData());
    return "\"" + std::string(bytes.constData(), static_cast<size_t>(bytes.size())) + "\"";
}

bool identify(RtuExchange& exchange, CrcFunction crc, int station, std::string& report)
{
    const auto ask = [&](const QByteArray& pdu) {
        const QByteArray request = rtuRequest(static_cast<uint8_t>(station), pdu, crc);
        return exchange.exchange(reinterpret_cast<const uint8_t*>(request.constData()), request.size(), -1, true);
    };
    bool answered = false;

    // Read device identification: the regular objects as a stream, from object 0 on.
    report += "device identification (2B/0E):";
    int next = 0;
    std::string objects;
    for (int n = 0; n < kMaxAnswers; ++n) {
        const ExchangeResult r = ask(QByteArray::fromHex("2b0e02") + static_cast<char>(next));
        if (r.status == AnswerStatus::Exception) {
            answered = true;
            objects = (r.exceptionCode == 1 ? " not supported (" : " refused (") + r.why + ")";
            break;
        }
        if (r.status != AnswerStatus::Ok) {
            objects += " " + r.why;
            break;
        }
        answered = true;
        DeviceIdAnswer a;
        std::string error;
        if (!decodeDeviceId(r.answer, a, error)) {
            objects += " a broken answer (" + error + "): " + r.answer.toHex(' ').constData();
            break;
        }
        for (const auto& o : a.objects)
            objects += "\n  " + objectName(o.first) +
                       std::string(20 - std::min<size_t>(19, objectName(o.first).size()), ' ') + shownText(o.second);
        if (!a.more || a.nextObject <= next)
            break;
        next = a.nextObject;
    }
    report += objects + "\n";

    report += "report server id (11): ";
    const ExchangeResult r = ask(QByteArray::fromHex("11"));
    QByteArray data;
    if (r.status == AnswerStatus::Exception) {
        answered = true;
        report += (r.exceptionCode == 1 ? "not supported (" : "refused (") + r.why + ")";
    } else if (r.status != AnswerStatus::Ok) {
        report += r.why;
    } else if (!decodeServerId(r.answer, data)) {
        answered = true;
        report += std::string("a broken answer: ") + r.answer.toHex(' ').constData();
    } else {
        answered = true;
        // The layout is the device's own: commonly the server id, the run
        // indicator (00 off, FF on), then text; some put the indicator last.
        const auto indicator = [&](int at) {
            const uint8_t b = static_cast<uint8_t>(data[at]);
            return b == 0x00 ? "off" : b == 0xFF ? "on" : nullptr;
        };
        const bool textBetween = data.size() >= 2 && shownText(data.left(data.size() - 1))[0] == '"';
        if (data.size() >= 2 && indicator(1)) {
            char head[64];
            std::snprintf(head, sizeof head, "server id 0x%02x, run indicator %s, ", static_cast<uint8_t>(data[0]),
                          indicator(1));
            report += head + shownText(data.mid(2));
        } else if (textBetween && indicator(data.size() - 1)) {
            report += shownText(data.left(data.size() - 1)) + ", run indicator " + indicator(data.size() - 1);
        } else {
            report += shownText(data);
        }
    }
    report += "\n";
    return answered;
}

}  // namespace host
