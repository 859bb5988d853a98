// Marks the functions a request and its reply run through, so that the compiler keeps them
// together in the text section. After an idle spell that path runs cold, and each page of code
// it is spread over costs a miss of its own: on a virtual machine, a walk of two levels of page
// tables before the first instruction of the page runs.
#pragma once

#if defined(__GNUC__)
#define CORVANE_HOT_PATH __attribute__((hot))
#else
#define CORVANE_HOT_PATH
#endif
