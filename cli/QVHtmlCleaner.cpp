#include "cli/QVHtmlCleaner.h"

namespace qv::cli {

std::vector<std::string> movedContentIds(const QVManipulator& m) {
  std::vector<std::string> cids;
  for (std::size_t index : m.bagAttach()) {
    const QVContentPart& part = m.bagAll()[index];
    if (part.cid && !part.cid->empty()) cids.emplace_back(*part.cid);
  }
  return cids;
}

}  // namespace qv::cli
