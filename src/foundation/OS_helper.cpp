#include "OS_helper.h"

#include "commfunc.h"

std::string OS_helper::os_version()
{
    return commfunc::execWithParams("cat /etc/issue");
}
