#include "platform/engines/async_activation.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

class Operation final : public IActivateAudioInterfaceAsyncOperation {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (SameGuid(riid, kIidUnknown)) {
            *object = static_cast<IActivateAudioInterfaceAsyncOperation*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++count_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = static_cast<ULONG>(--count_);
        if (count == 0) {
            if (outcome_.object != nullptr) {
                outcome_.object->Release();
            }
            delete this;
        }
        return count;
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult, IUnknown** activated) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!completed_) {
            return static_cast<HRESULT>(0x8000000Eu); // E_ILLEGAL_METHOD_CALL
        }
        *activateResult = outcome_.activateResult;
        *activated = nullptr;
        if (outcome_.operationResult >= 0 && outcome_.activateResult >= 0 && outcome_.object != nullptr) {
            outcome_.object->AddRef();
            *activated = outcome_.object;
        }
        return outcome_.operationResult;
    }
    void Complete(const ActivationOutcome& outcome)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome_ = outcome;
        completed_ = true;
    }

private:
    std::atomic<LONG> count_{1};
    std::mutex mutex_;
    bool completed_ = false;
    ActivationOutcome outcome_{S_OK, S_OK, nullptr};
};

} // namespace

void CompleteActivationAsync(IActivateAudioInterfaceCompletionHandler* handler,
                             std::function<ActivationOutcome()> produce, unsigned delayMs,
                             IActivateAudioInterfaceAsyncOperation** operation)
{
    Operation* op = new Operation();
    op->AddRef(); // the completion thread's reference
    *operation = op;

    // The platform needs to call the handler from its own threads, so it asks whether it is agile.
    IUnknown* agile = nullptr;
    if (handler->QueryInterface(kIidAgileObject, reinterpret_cast<void**>(&agile)) >= 0 && agile != nullptr) {
        agile->Release();
    }
    handler->AddRef();
    std::thread([handler, op, produce = std::move(produce), delayMs] {
        if (delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        }
        op->Complete(produce());
        handler->ActivateCompleted(op);
        handler->Release();
        op->Release();
    }).detach();
}
