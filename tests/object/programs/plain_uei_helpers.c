/* A C program that uses the UEI helpers through the installed header and the shared library:
 * the header must compile as C and the helpers must be exported. Prints the decoded values. */
#include <corvane/aUEI.h>

#include <stdio.h>

int main(void) {
    const uint8_t value[] = {0x00, 0x01, 0x86, 0xA0};
    const uint8_t run[] = {3, 0xA0, 0x20, 'a', 'b', 0x81};
    aPacket* packet = aPacket_CreateWithData(2, sizeof run, run);
    uei request = {0};
    request.type = typeBytes;
    request.value.bytesLength = 2;
    printf("%u %u more %u sequence %u uei %d length %u\n", (unsigned)aUEI_RetrieveInt(value),
           (unsigned)aUEI_RetrieveShort(value + 2), (unsigned)aUEI_getBytesContinue(packet),
           (unsigned)aUEI_getBytesSequence(packet), (int)aUEI_isUEIPayload(packet),
           (unsigned)request.value.bytesLength);
    aPacket_Destroy(&packet);
    return 0;
}
