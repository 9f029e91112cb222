// SPDX-License-Identifier: MIT
// Fails the N-th file operation of a chosen kind on files inside one watched folder, so that a
// test can walk a rewrite through a failure at every write, flush, rename and close step.
//
// The test executable itself defines open, write, fsync, rename, close, dup, ftruncate,
// fwrite, fflush, fclose and their relatives; being first in symbol lookup, these stand in for the
// C library's in every module of the process, including those loaded later with dlopen. Each passes
// to the real function unless the armed call count is reached.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace faults {

enum class Op {
    Open,       // open/openat/creat/mkstemp family/fopen, for writing only
    Write,      // write, pwrite, writev
    Sync,       // fsync, fdatasync
    Rename,     // rename, renameat, renameat2
    Close,      // close of a descriptor opened for writing
    Truncate,   // ftruncate
    StdioWrite, // fwrite, fputc, fputs
    StdioFlush, // fflush
    StdioClose, // fclose of a stream opened for writing
};
constexpr std::array kAllOps = {Op::Open,       Op::Write,      Op::Sync,
                                Op::Rename,     Op::Close,      Op::Truncate,
                                Op::StdioWrite, Op::StdioFlush, Op::StdioClose};
const char* name(Op op);

/// Only files below `folder` (an absolute path) are counted or failed; empty stops watching.
/// Descriptors opened before a call to arm() are known, so a file kept open by an object counts.
void watch(const std::string& folder);

/// From now on the `nth` (1-based) call of `op` on a watched file fails with `error` (errno),
/// without doing anything for writes, renames, opens and syncs; a close or fclose is performed
/// and then reported as failed, as a late write-back error would be. Counts restart.
void arm(Op op, int nth, int error);
/// Stops failing; counts are kept for count() and fired().
void disarm();

/// Calls of `op` on watched files since the last arm().
int count(Op op);
/// Whether the armed failure happened.
bool fired();
/// Whether a watched rename was done before the armed failure happened (a failure after the
/// new file replaced the old one).
bool renamedBeforeFault();

} // namespace faults
