// input.h - reading the runner's input files line by line, safely: a line
// longer than a limit is refused as soon as the limit is passed (nothing more
// is read), and so is anything that is not UTF-8 text.
//
// Choices: a UTF-8 byte order mark at the start is skipped; a UTF-16 one (or
// text whose every other byte is NUL) is refused as UTF-16 with a word on how
// to fix it; a NUL byte or bytes that are not UTF-8 make the input "binary".
// Lines end at LF; the 4096-byte limit counts the line without its LF.
#pragma once

#include <string>

namespace runner {

class LineReader {
  public:
    static constexpr size_t kMaxLine = 4096;

    // Reads from `fd`, closed at the end when `own` is set. `name` is the
    // file's name in messages.
    LineReader(int fd, std::string name, bool own);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    enum Result { Line, End, Bad };
    // The next line, without its LF. Bad: `error` is one line, "NAME:N: why"
    // (or "NAME: why" for a read error), its echoed text made safe to print.
    Result Next(std::string& line, std::string& error);
    // Whether input is left unread: bytes read but not taken, or more to
    // come (what cannot be told without waiting counts as more).
    bool MoreWaiting();
    // The number of the line Next returned last (from 1).
    int Number() const { return number_; }
    const std::string& Name() const { return name_; }
    // Called before a read that may wait for more input (the runner flushes
    // its transcript and, on a terminal, shows a prompt).
    void (*before_wait)(void* context, int next_line) = nullptr;
    void* before_wait_context = nullptr;

  private:
    bool Fill(std::string& error);
    bool CheckLine(const std::string& line, std::string& error) const;
    int fd_;
    std::string name_;
    bool own_;
    std::string buf_;
    size_t pos_ = 0;
    bool eof_ = false;
    bool started_ = false;
    int number_ = 0;
};

} // namespace runner
