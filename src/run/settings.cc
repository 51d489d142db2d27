// The settings record and its reset. See run/settings.h.
#include "run/settings.h"

#include <cstdlib>

#include "run/config.h"

settings_rec settings;

namespace {
template <typename Node>
void free_list(Node* node) {
    while (node != nullptr) {
        Node* next = node->next;
        std::free(node);
        node = next;
    }
}
}  // namespace

void reset_settings() {
    for (const keyword_row& row : keyword_table) {
        if (row.list != nullptr) free_list(settings.*row.list);
        if (row.group != nullptr) free_list(settings.*row.group);
    }
    release_setting_texts();
    settings = settings_rec{};
}
