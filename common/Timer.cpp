#include "quillmark/Timer.h"

namespace quillmark {

Timer::~Timer() = default;

}  // namespace quillmark
