#include "StatusDocument.h"

#include <nlohmann/json.hpp>

std::string BuildStatusBody() {
    // nlohmann::json keeps members sorted by key, which is the order pages
    // have always received.
    nlohmann::json doc;
    doc["brand_id"] = "0";
    doc["brand_name"] = "Zorvane";
    doc["build_version"] = "2019.322.5000.0";
    doc["error_code"] = 0;
    doc["error_msg"] = "OK";
    doc["result"] = 0;
    doc["service_name"] = "ZVAppLdrSvc";
    doc["version"] = "5.0.0";
    return "callback(" + doc.dump() + ")";
}
