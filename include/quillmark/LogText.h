// LogText: the output stream a logging statement builds its message in.
//
// It formats exactly as a std::ostringstream does (it is a std::ostream with default flags), but
// keeps the text in a std::string that grows geometrically and that the logger reads in place:
// a statement that logs a large text (a configuration document at debug level) neither grows a
// string stream's buffer piece by piece nor copies the result out of it.
//
// One object per statement, on one thread.
#ifndef QUILLMARK_LOGTEXT_H
#define QUILLMARK_LOGTEXT_H

#include <ostream>
#include <streambuf>
#include <string>

namespace quillmark {

class LogText : public std::ostream {
public:
    LogText();
    ~LogText() override;

    LogText(const LogText&) = delete;
    LogText& operator=(const LogText&) = delete;

    // What has been written so far; valid until the next write or the object's end.
    const std::string& text() const { return buffer_.text(); }

private:
    // Appends everything written to one string; it has no put area, so each write goes
    // straight to the string.
    class Buffer : public std::streambuf {
    public:
        const std::string& text() const { return text_; }

    protected:
        int_type overflow(int_type character) override;
        std::streamsize xsputn(const char* bytes, std::streamsize count) override;

    private:
        std::string text_;
    };

    Buffer buffer_;
};

}  // namespace quillmark

#endif  // QUILLMARK_LOGTEXT_H
