#include "quillmark/MetricItem.h"

namespace quillmark {

MetricItem::MetricItem(const std::string& name) : name_(name) {}

MetricItem::~MetricItem() = default;

const std::string& MetricItem::getName() const { return name_; }

}  // namespace quillmark
