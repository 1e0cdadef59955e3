// The exception family of the system.
//
// Every error the system throws is an `Exception` or one of its subclasses, created in the throw
// expression with the throw site's source position (use QM_THROW). `Exception` deliberately does
// not derive from std::exception: a handler for the standard type does not catch it and a handler
// for `Exception` catches nothing from the standard library. Objects are immutable after
// construction; const methods may be called from any thread.
#ifndef QUILLMARK_EXCEPTION_H
#define QUILLMARK_EXCEPTION_H

#include <ostream>
#include <string>

namespace quillmark {

class Exception {
public:
    // Copies `message` and `file`; a null pointer is taken as the empty text.
    Exception(const char* file, long line, const char* message, long code);
    virtual ~Exception();

    // The message's character data, valid as long as the object lives.
    virtual const char* getMessage() const;

    long long getCode() const { return code_; }
    long long getLine() const { return line_; }
    const std::string& getFile() const { return file_; }

private:
    std::string message_;
    long long code_;
    long long line_;
    std::string file_;
};

// Writes the report form: [code] "message" raised from file:line. followed by a line end and a
// flush of the stream.
std::ostream& operator<<(std::ostream& out, const Exception& e);

#define QM_DECLARE_EXCEPTION(Name, Base)                                  \
    class Name : public Base {                                            \
    public:                                                               \
        Name(const char* file, long line, const char* message, long code) \
            : Base(file, line, message, code) {}                          \
        ~Name() override;                                                 \
    }

// An operation failed at run time (a metric that cannot be computed, an unreadable source).
QM_DECLARE_EXCEPTION(ProcessingException, Exception);
// A request with missing or unusable arguments.
QM_DECLARE_EXCEPTION(InvalidArgException, Exception);
// A failed system call.
QM_DECLARE_EXCEPTION(SystemException, Exception);
// A command the receiver does not know.
QM_DECLARE_EXCEPTION(UnsupportedException, Exception);
// Base of the socket-related errors; never thrown by itself.
QM_DECLARE_EXCEPTION(SocketException, Exception);
// A wait that was interrupted or ran out of time.
QM_DECLARE_EXCEPTION(TimeoutException, SocketException);

#undef QM_DECLARE_EXCEPTION

}  // namespace quillmark

// Throws `Type` with the current source position, the message text and the code 0.
#define QM_THROW(Type, message) throw Type(__FILE__, __LINE__, std::string(message).c_str(), 0)

#endif  // QUILLMARK_EXCEPTION_H
