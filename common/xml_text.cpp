#include "xml_text.hpp"

namespace quillon::xml {

bool only_strings(const Tree &tree) {
    if (!tree.foreign.empty()) return false;
    for (const Tag &tag : tree.tags)
        if (tag.is_foreign()) return false;
    return true;
}

}  // namespace quillon::xml
