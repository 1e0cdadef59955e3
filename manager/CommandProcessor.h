// CommandProcessor: the interface of the objects that serve one request each.
//
// A processor is made for one request (by the command dispatch), asked once for its reply and
// then deleted by whoever asked. Its process() gets the request payload: the request body's
// bytes followed by the one zero byte the receiver appends, so a body of n bytes is a payload
// of n + 1 bytes. The body is bytes, not text: it may hold zero bytes of its own.
//
// Every processor owns the objects handed to its constructor except the configuration object
// and the factory. Threads: a processor is created, used and deleted on one thread (the
// Listener's).
#ifndef QUILLMARK_MANAGER_COMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_COMMANDPROCESSOR_H

#include <string>
#include <vector>

namespace quillmark {

class CommandProcessor {
public:
    virtual ~CommandProcessor() {}

    // Serves the request in `payload` and returns the reply text: "SUCCESS", a text beginning
    // "FAILURE! ", or (get_configuration) the document itself. A failed command is reported in
    // the text, not by an exception. A processor may consume the payload (the save lets a large
    // body go once it is parsed, leaving the vector empty), so the caller must not read it
    // afterwards: it may only reuse or free its memory.
    virtual std::string process(std::vector<char>& payload) = 0;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_COMMANDPROCESSOR_H
