// Records from the engine's log queue to Python's logging. The engine's
// threads never wait for the interpreter: they queue records, and these
// functions hand them to logging with the interpreter lock held, from one
// small thread as soon as they come and at each construction.
#pragma once

namespace reelpipe::binding {

// Gives the logger "reelpipe" its NullHandler; at import, nothing else.
void set_up_logging();

// Before a decoder opens: takes FFmpeg's log callback (the first time) and
// tells the engine which of FFmpeg's messages anyone listens to, so that
// the opening's messages reach the queue already.
void prepare_logging_for_opening();

// Hands every queued record to logging, unless another thread is at it
// already; no exception comes out and nothing is printed. Call with the
// interpreter lock held.
void deliver_log_records();

// Count this process's decoders in and out: the delivery thread runs while
// there is one, so that a program without decoders has no thread of ours
// when it forks. Call with the interpreter lock held.
void one_decoder_more();
void one_decoder_fewer();

}  // namespace reelpipe::binding
