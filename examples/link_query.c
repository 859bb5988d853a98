/* Example of the C API: opens a TCP/IP link to a module, asks for its address and model, and
 * prints them. Usage: link_query PORT [IPV4-ADDRESS]  (the address defaults to 127.0.0.1) */
#include <corvane/aDefs.h>
#include <corvane/aError.h>
#include <corvane/aLink.h>

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "Usage: link_query PORT [IPV4-ADDRESS]\n");
        return 2;
    }
    char* end = NULL;
    const unsigned long port = strtoul(argv[1], &end, 10);
    struct in_addr address;
    if (*argv[1] == '\0' || *end != '\0' || port == 0 || port > 65535 ||
        inet_pton(AF_INET, argc == 3 ? argv[2] : "127.0.0.1", &address) != 1) {
        fprintf(stderr, "link_query: give a port from 1 to 65535 and an IPv4 address\n");
        return 2;
    }

    /* The link wants the address in network byte order, as inet_pton leaves it. */
    aLinkRef link = aLink_CreateTCPIP(address.s_addr, (uint16_t)port);
    if (link == 0) {
        fprintf(stderr, "link_query: no link to port %lu\n", port);
        return 1;
    }
    uint8_t moduleAddress = 0;
    uint8_t model = 0;
    aErr err = aLink_GetModuleAddress(link, &moduleAddress);
    if (err == aErrNone)
        err = aLink_GetModel(link, moduleAddress, &model);
    if (err == aErrNone)
        printf("module address %u, model %u (%s)\n", moduleAddress, model,
               aDefs_GetModelName(model));
    else
        fprintf(stderr, "link_query: the module did not answer: error %d\n", (int)err);
    aLink_Destroy(&link);
    return err == aErrNone ? 0 : 1;
}
