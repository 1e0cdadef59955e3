// MetricItem: the base of the objects that evaluate one family of measurements on request.
//
// A caller fills a MetricRequest, hands it to execute and receives a new ResultInfo that it owns.
// Items keep no state beyond their name, take no lock and never log; every failure is an
// exception of the Exception family (code 0, the throw site's source file and line), so a result
// pointer is never null. Distinct threads may use one item at the same time, each with its own
// request, unless the item's header says otherwise. Items are owned by whoever creates them and
// are deleted through this base.
//
// The tree: MetricItem <- VfsMetrics <- FileMetrics, DevMetrics, FsMetrics; MetricItem <-
// SystemMetrics.
#ifndef QUILLMARK_METRICITEM_H
#define QUILLMARK_METRICITEM_H

#include "quillmark/MetricRequest.h"
#include "quillmark/ResultInfo.h"

#include <string>

namespace quillmark {

class MetricItem {
public:
    // Copies `name`.
    explicit MetricItem(const std::string& name);
    virtual ~MetricItem();
    MetricItem(const MetricItem&) = delete;
    MetricItem& operator=(const MetricItem&) = delete;

    // Evaluates `request`. Returns a new result that the caller owns, never null; every failure
    // (an unknown command included) is thrown.
    virtual ResultInfo* execute(const MetricRequest& request) = 0;

    // The name given at construction, valid as long as the item lives.
    virtual const std::string& getName() const;

private:
    const std::string name_;
};

}  // namespace quillmark

#endif  // QUILLMARK_METRICITEM_H
