#include "azsim/model/Resources.h"

namespace azsim {

void to_json(nlohmann::json& j, const BlobKey& key) {
    j = {{"account", key.account}, {"container", key.container}, {"name", key.name}};
}

void from_json(const nlohmann::json& j, BlobKey& key) {
    key.account = j.value("account", "");
    key.container = j.value("container", "");
    key.name = j.value("name", "");
}

}  // namespace azsim
