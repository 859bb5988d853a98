// Turns the user's update server address into the endpoint the server client requests.
#include "ServerUrl.h"

std::string normaliseServerUrl(const std::string& value) {
    if (value.find("://") != std::string::npos) {
        return value;
    }
    return "http://" + value + kServerRequestPath;
}
