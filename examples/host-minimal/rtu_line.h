// rtu_line.h: the serial side of the example hosts. A raw line, and one turn of the link thread:
// ask the driver for a request, send it, read the answer, hand it back.
#pragma once

#include <Communication_Protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace rtu_line {

using Clock = std::chrono::steady_clock;

// The driver functions the link thread calls: the linked ones, or those of a copy loaded with dlopen.
struct LinkCalls {
    decltype(&::ComCommunication) next;
    decltype(&::DataCom) dataCom;
    decltype(&::CalCRC) crc;
};

inline speed_t speed(long baud)
{
    return baud == 19200 ? B19200 : baud == 38400 ? B38400 : baud == 115200 ? B115200 : B9600;
}

// t3.5: 3.5 characters of 11 bits, at least 1.75 ms.
inline std::chrono::microseconds frameGap(long baud)
{
    return std::chrono::microseconds(std::max(1750L, 38500000L / baud));
}

// Raw 8N1, no flow control, reads that return at once: all timing is ours.
inline int openLine(const char* path, long baud)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd < 0)
        return -1;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed(baud));
    cfsetospeed(&tio, speed(baud));
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// Reads until `want` bytes came or the deadline passed.
inline QByteArray readAnswer(int fd, int want, Clock::time_point deadline)
{
    QByteArray got;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, int(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    return got;
}

// The driver does not check answers: a frame with a bad CRC or from another station goes in as no answer.
inline bool answerOk(QByteArray& a, const QByteArray& request, const LinkCalls& driver)
{
    if (a.size() < 4 || a[0] != request[0] || a[1] != request[1])
        return false;
    const unsigned short crc = driver.crc(reinterpret_cast<unsigned char*>(a.data()), (unsigned short)(a.size() - 2));
    return static_cast<unsigned char>(a[a.size() - 2]) == (crc & 0xFF) &&
           static_cast<unsigned char>(a[a.size() - 1]) == (crc >> 8);
}

// One turn of the link thread. Returns false when the driver had nothing to send.
inline bool exchange(const LinkCalls& driver, int fd, std::chrono::microseconds silence)
{
    const intptr_t address = driver.next();
    if (!address)
        return false;
    // The request stays the driver's and is deleted inside DataCom: copy what is needed first.
    const Protocol* request = reinterpret_cast<const Protocol*>(address);
    const QByteArray frame = request->frame.left(request->frameLen);
    const int answerLen = request->answerLen;  // 0 = broadcast, nobody answers

    std::this_thread::sleep_for(silence);  // t3.5: the gap that ends the previous frame
    if (write(fd, frame.constData(), size_t(frame.size())) != frame.size())
        std::perror("write");
    tcdrain(fd);
    // The time-out covers answerLen bytes on the line plus the controller's turnaround; too short a
    // wait only costs a retry. A short or broken answer is handed over as none: the driver then resends.
    QByteArray answer;
    if (answerLen != 0) {
        answer = readAnswer(fd, answerLen > 0 ? answerLen : 256, Clock::now() + std::chrono::milliseconds(500));
        if (!answerOk(answer, frame, driver))
            answer.clear();
    }
    // retCode: 1 = done, 0 = failed but will be sent again, 11..182 = given up after COM_INFO::retryLimit.
    const RW_VAR* result = driver.dataCom(&answer, answer.size());
    if (result->retCode != 1 && result->retCode != 0)
        std::fprintf(stderr, "station %d gave no valid answer (code %d)\n", result->station, result->retCode);
    return true;
}

}  // namespace rtu_line
