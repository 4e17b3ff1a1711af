// Completes an activation request the way the platform does: the handler is asked for its agile
// interface before the entry point returns, and ActivateCompleted runs once, on a thread of its own.
#pragma once

#include <functional>

#include "activation/audio_contract.h"

struct ActivationOutcome {
    HRESULT operationResult;  // what GetActivateResult itself returns
    HRESULT activateResult;   // the activation result it hands out
    IUnknown* object;         // the activated object, owned by the outcome; may be null
};

// Hands out the operation at once; `produce` runs on the completion thread after `delayMs`.
void CompleteActivationAsync(IActivateAudioInterfaceCompletionHandler* handler,
                             std::function<ActivationOutcome()> produce, unsigned delayMs,
                             IActivateAudioInterfaceAsyncOperation** operation);
