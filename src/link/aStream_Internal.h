// Internal stream helpers shared by the stream kinds and the tests: the push-back ring.
#pragma once

#include "corvane/aStream.h"

// Hands bytes back to the stream so that the next reads return them, in this order, before any
// byte still waiting in the ring or coming from the get procedure. aErrParam for an invalid
// stream or null bytes; aErrMemory when the ring cannot grow.
aErr aStream_Unread(aStream* stream, const uint8_t* bytes, size_t count);

// Capacity of the push-back ring: 0 before its first use, then multiples of 512.
size_t aStream_PushBackCapacity(const aStream* stream);

// The reference given at creation; null for an invalid stream.
void* aStream_Reference(const aStream* stream);
