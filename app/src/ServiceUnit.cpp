#include "ServiceUnit.h"

#include "ServiceUnitTemplate.h"  // generated from systemd/ZVAppLdrSvc.service.in

std::string BuildServiceUnit(const char* aExecutable) {
    std::string unit = kServiceUnitTemplate;
    const std::string marker = "@ZV_SERVICE_EXEC@";
    std::string::size_type pos = unit.find(marker);
    std::string exec = aExecutable ? aExecutable : "";
    // systemd splits the command line at white space unless it is quoted.
    if (exec.find_first_of(" \t") != std::string::npos)
        exec = "\"" + exec + "\"";
    if (pos != std::string::npos)
        unit.replace(pos, marker.size(), exec);
    return unit;
}
