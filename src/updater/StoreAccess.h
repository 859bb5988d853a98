// Opening the store for a command: one error text for every caller when the store cannot be had.
#pragma once

#include "UpdaterContext.h"
#include "UpdaterStore.h"

#include <memory>

// The store on the context's store directory, or null after showing
// "Failed to Create UpdaterStore in: <caller> - Exception: <reason>".
std::unique_ptr<UpdaterStore> openUpdaterStore(UpdaterContext& context, const char* caller);
