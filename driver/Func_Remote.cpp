// Remote frames: the variable descriptor itself, behind a length byte,
// closed by an 8-bit sum.
#include "Driver_Internal.h"

namespace {

const int kRemoteHeaderBytes = 21;

QByteArray remoteHeader(const RW_VAR& v, int reserve)
{
    QByteArray frame;
    frame.reserve(reserve);
    frame.append('\0');  // total length, set once the frame is complete
    frame.append(static_cast<char>(v.varClass & 0xFF));
    frame.append(static_cast<char>(v.writeFlag & 0xFF));
    frame.append(static_cast<char>(v.deviceId & 0xFF));
    frame.append(static_cast<char>(v.station & 0xFF));
    kemo::appendBe16(frame, static_cast<unsigned>(v.regKind) & 0xFFFF);
    kemo::appendBe32(frame, static_cast<unsigned>(v.regAddr));
    kemo::appendBe16(frame, static_cast<unsigned>(v.length) & 0xFFFF);
    kemo::appendBe32(frame, static_cast<unsigned>(v.bitMode));
    kemo::appendBe32(frame, static_cast<unsigned>(v.spare));
    return frame;
}

// Sets the length byte (checksum included) and appends the low byte of the
// sum, taken like the CRC over the length cut to 16 bits.
void closeRemoteFrame(QByteArray& frame)
{
    frame[0] = static_cast<char>((frame.size() + 1) & 0xFF);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(frame.data());
    const unsigned sum = CalSUM(bytes, static_cast<unsigned short>(frame.size()));
    frame.append(static_cast<char>(sum & 0xFF));
}

}  // namespace

bool kemo::buildRemoteReadRequest(const RW_VAR& var, Protocol& out)
{
    const KindFacts* f = kindFacts(var.regKind);
    if (!f || !f->remoteReadable)
        return false;
    // Answers carry whole units of the area: bytes, or registers of two.
    const qint64 dataLen = static_cast<qint64>(var.length) * f->unitBits / 8;
    QByteArray frame = remoteHeader(var, kRemoteHeaderBytes + 1);
    closeRemoteFrame(frame);
    out = makeRequest(frame, wrapInt(dataLen + 5), 3, wrapInt(dataLen), var);
    return true;
}

Protocol kemo::buildRemoteWriteRequest(const RW_VAR& var)
{
    QByteArray frame = remoteHeader(var, kRemoteHeaderBytes + 1 + var.data.size());
    frame.append(var.data);
    closeRemoteFrame(frame);
    return makeRequest(frame, var.station != 0 ? 8 : 0, 0, 0, var);
}

void Remote_ReadVar(RW_VAR* var)
{
    Protocol request;
    if (kemo::buildRemoteReadRequest(*var, request))
        kemo::queueRequests(request);
}

void Remote_WriteVar(RW_VAR* var)
{
    Protocol request = kemo::buildRemoteWriteRequest(*var);
    kemo::queueRequests(request);
    WriteDataToLocal(var);
}
