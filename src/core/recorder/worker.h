// The recorder's worker: the one thread that touches the recording file.
//
// It takes work items off the queue in order: `Start` opens the file, each
// `Cycle` becomes one MessagePack message on "/kiv/cycle" plus one message
// per camera frame on "/kiv/images/<camera>", `Stop` writes the last frames
// and ends the loop, after which the file is finished. Everything is flushed
// after each cycle, so a crash loses at most the cycle in progress. Failures
// go to the log (target "mcap_writer"), never to Python.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/pending_work.h"
#include "common/result.h"
#include "cycle_record/cycle_record.h"
#include "mcap/writer.h"
#include "work_queue/work_item.h"

namespace kiv::recorder {

inline constexpr char kLogTarget[] = "mcap_writer";

// Runs until a stop request, the queue closing, or a file that cannot be
// created; the error is what ended it abnormally. The stop request's
// pending work is moved into `finishing`, for the caller to release once
// the thread has nothing left to do.
common::Status run_worker(work_queue::WorkReceiver& receiver, work_queue::AttachmentSlot& slot,
                          common::PendingWork& finishing);

// The recorder thread's body: run_worker, its failure logged, and only then
// the receiving end released, so senders see "closed" after the log has it;
// the stop request's pending work last of all, so that process exit, which
// waits for it, finds the thread done.
void worker_thread_main(work_queue::WorkReceiver receiver, std::shared_ptr<work_queue::AttachmentSlot> slot);

// Every frame of the attached hub after the cursor and not newer than
// `until` (seconds); the cursor moves to the last frame taken. Holds the
// slot's lock throughout, then the hub's (in that order).
std::vector<cycle_record::ImageData> drain_images_until(work_queue::AttachmentSlot& slot, double until);

// One image message per frame, in list order, sequence = low 32 bits of
// `sequence`. Stops at the first failure.
common::Status write_images(mcap::Writer& writer, std::uint64_t sequence,
                            const std::vector<cycle_record::ImageData>& frames);

// Seconds to MCAP nanoseconds: truncated, negative and NaN give 0, too
// large gives the largest value.
std::uint64_t to_nanoseconds(double seconds);

// The recording's MCAP options: profile, library, zstd chunks of 768 KiB.
mcap::Options recording_options();

}  // namespace kiv::recorder
