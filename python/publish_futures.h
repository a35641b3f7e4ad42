// publish(..., wait=False): the concurrent.futures.Future of each message, and its resolution.
//
// Threading contract
// - publishWithoutWaiting runs with the interpreter lock held; it copies the message into the
//   pipeline and never blocks on the network.
// - Each queued future is referenced by the pipeline (a strong reference handed over as its tag)
//   until resolveFutures, called on the dispatch thread with the interpreter lock held, settles it
//   and lets go of it. No native lock is held while the futures' callbacks run, except the
//   object's handler lock, as for a handler.
#pragma once

#include <pybind11/pybind11.h>

#include <span>

#include "byte_view.h"
#include "publish_outcome.h"
#include "sdk.h"

namespace movra::python {

namespace py = pybind11;

py::object publishWithoutWaiting(movra::SDK& sdk, const ByteView& topic, const ByteView& payload,
                                 int qos, bool retained);

// The outcome sink: settles each future and drops the pipeline's reference to it.
void resolveFutures(std::span<const movra::PublishOutcome> outcomes);

}  // namespace movra::python
