// Timer: a placeholder of the metric items' family with no state and no operations; nothing in
// the system creates one.
#ifndef QUILLMARK_TIMER_H
#define QUILLMARK_TIMER_H

namespace quillmark {

class Timer {
public:
    virtual ~Timer();
};

}  // namespace quillmark

#endif  // QUILLMARK_TIMER_H
