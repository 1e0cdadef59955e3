// RequestForm: how one request arrived on its connection, as TcpSenderReceiver read it. The
// Listener hands it through the command dispatch to the processors whose body rules depend on
// it: a raw line carries its line end, and may have been cut short.
#ifndef QUILLMARK_MANAGER_REQUESTFORM_H
#define QUILLMARK_MANAGER_REQUESTFORM_H

namespace quillmark {

enum class RequestForm {
    // A framed message: the payload is the whole body as the client sent it.
    kFramed,
    // A raw line whose newline the payload keeps as the body's last byte.
    kRawLine,
    // A raw line without its newline: it filled the 2048 bytes a raw request may take (the rest
    // is still unread), or the stream ended first. The request is not whole.
    kRawUnended,
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_REQUESTFORM_H
