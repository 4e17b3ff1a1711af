// The activation phase: a process-loopback IAudioClient for one process tree.
#pragma once

#include "activation/audio_contract.h"

// Writes its own "[dll]", "[act]" and "[err]" lines. The two records must outlive the asynchronous
// activation, so the caller keeps them. Negative on failure, with nothing released but the activated
// object; the handler, the operation and the library stay for the life of the process.
HRESULT ActivateProcessLoopback(DWORD processId, bool exclude, AUDIOCLIENT_ACTIVATION_PARAMS* params,
                                PROPVARIANT* blob, IAudioClient** audioClient);
