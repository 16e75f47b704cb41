// Filter list of the open-file dialog.
#include "oxasoft/system/dialog_rules.h"

namespace oxa::system {

std::string filter_area(std::string_view filter) {
    std::string area(filter);
    for (char& c : area) {
        if (c == '|') c = '\0';
    }
    area.append(2, '\0');
    return area;
}

}  // namespace oxa::system
