#include "ui/page_support.h"

namespace page {

QString describe(const morvane::Outcome& outcome) {
    return QString::fromStdString(outcome.describe());
}

}  // namespace page
