// input.cpp - the runner's input, read line by line with a length limit,
// refusing binary and UTF-16 input.
#include "cli/runner/input.h"

#include "cli/runner/parse_util.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace runner {

namespace {

constexpr size_t kChunk = 64 * 1024;

// Whether `s` is UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(const std::string& s) {
    const unsigned char* p = (const unsigned char*)s.data();
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

// Whether bytes with NULs look like UTF-16: NUL in every other byte.
bool LooksUtf16(const std::string& s) {
    size_t even = 0, odd = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == '\0')
            ++(i % 2 ? odd : even);
    size_t half = s.size() / 2;
    auto most = [&](size_t k) { return k >= half * 9 / 10; };
    auto few = [&](size_t k) { return k <= half / 10; };
    return half >= 4 && ((most(even) && few(odd)) || (most(odd) && few(even)));
}

} // namespace

LineReader::LineReader(int fd, std::string name, bool own)
    : fd_(fd), name_(std::move(name)), own_(own) {}

LineReader::~LineReader() {
    if (own_ && fd_ >= 0)
        ::close(fd_);
}

bool LineReader::Fill(std::string& error) {
    if (pos_ > 0) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
    if (before_wait)
        before_wait(before_wait_context, number_ + 1);
    size_t had = buf_.size();
    buf_.resize(had + kChunk);
    ssize_t n;
    do
        n = ::read(fd_, &buf_[had], kChunk);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        buf_.resize(had);
        error = name_ + ": cannot read: " + std::strerror(errno);
        return false;
    }
    buf_.resize(had + (size_t)n);
    if (n == 0)
        eof_ = true;
    return true;
}

bool LineReader::MoreWaiting() {
    if (pos_ < buf_.size())
        return true;
    if (eof_)
        return false;
    struct pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, 0) != 1)
        return true; // nothing yet, and no end: the writer may send more
    buf_.erase(0, pos_);
    pos_ = 0;
    char chunk[4096];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n <= 0) {
        eof_ = n == 0;
        return n < 0;
    }
    buf_.append(chunk, (size_t)n);
    return true;
}

bool LineReader::CheckLine(const std::string& line, std::string& error) const {
    auto where = [&](const std::string& what) { return Where(name_, number_, what); };
    if (line.find('\0') != std::string::npos) {
        if (LooksUtf16(line))
            error = where("UTF-16 text without a byte order mark; save the file as UTF-8");
        else
            error = where("binary data (a NUL byte): not a text file");
        return false;
    }
    if (!IsUtf8(line)) {
        error = where("bytes that are not UTF-8: not a text file (save it as UTF-8)");
        return false;
    }
    return true;
}

LineReader::Result LineReader::Next(std::string& line, std::string& error) {
    for (;;) {
        if (!started_) {
            // The start of the input: its byte order mark, if any.
            if (buf_.size() - pos_ < 3 && !eof_) {
                if (!Fill(error))
                    return Bad;
                continue;
            }
            started_ = true;
            std::string_view head(buf_.data() + pos_, buf_.size() - pos_);
            if (head.substr(0, 3) == "\xEF\xBB\xBF") {
                pos_ += 3;
            } else if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") {
                error = name_ + ":1: UTF-16 text (it starts with a UTF-16 byte order mark); "
                                "save the file as UTF-8";
                return Bad;
            }
        }
        size_t nl = buf_.find('\n', pos_);
        if (nl != std::string::npos || eof_) {
            size_t end = nl == std::string::npos ? buf_.size() : nl;
            if (end == pos_ && nl == std::string::npos)
                return End;
            ++number_;
            line.assign(buf_, pos_, end - pos_);
            pos_ = nl == std::string::npos ? end : nl + 1;
            if (line.size() > kMaxLine) {
                error = Where(name_, number_,
                              "line longer than " + std::to_string(kMaxLine) + " bytes");
                return Bad;
            }
            return CheckLine(line, error) ? Line : Bad;
        }
        if (buf_.size() - pos_ > kMaxLine) {
            // No end in sight: refused now, without reading the rest.
            ++number_;
            line.assign(buf_, pos_, kMaxLine);
            if (line.find('\0') != std::string::npos && !CheckLine(line, error))
                return Bad;
            error =
                Where(name_, number_, "line longer than " + std::to_string(kMaxLine) + " bytes");
            return Bad;
        }
        if (!Fill(error))
            return Bad;
    }
}

} // namespace runner
