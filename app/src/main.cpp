// ZVAppLdrSvc
//   -i   install the service (when it is not) and start it
//   -u   stop the service and remove it
//   -d   run in this console
//   (none) run under the service manager, or in this console when it did
//        not start us
#include "ZVAppLdrService.h"

int main(int argc, char** argv) { return ServiceEntry(argc, argv); }
