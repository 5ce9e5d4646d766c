// Steps that both run drivers take: filtering with a logged refusal, the
// window sizes from a reference template, the pick reset before a scan, and
// the two ways a run ends (stopped before scanning, or completed).
#pragma once

#include <memory>
#include <string>

#include "detect/record_pipeline.h"
#include "detect/run_context.h"
#include "detect/template_library.h"
#include "params/ae_pars.h"
#include "wave/wave_data.h"

namespace qae {

// Band-pass filters `record`; a refused design leaves it unfiltered and
// costs one log line naming the reason.
void FilterLogged(XL_WaveData& record, const AePars& pars, RunContext& ctx);

// The end of preparing a record for its scan: the " !" of its loading line
// (" ! partly read: <what was missing>" for a file read only in part),
// raw samples saved and the band-pass applied when filtering is on (a
// refusal goes to the item's log text), picks cleared; the record goes into
// the item.
void FinishPreparing(std::shared_ptr<XL_WaveDataSeg2> record, const AePars& pars,
                     PreparedRecord& item);

// Filters every loaded template slot in place when the band-pass is on,
// between the "Start IIR filtering" and "End of IIR filtering" log lines.
void FilterTemplates(TemplateLibrary& templates, const AePars& pars, RunContext& ctx);

// Ends a run that cannot be scanned: the reason goes to the caller
// (ctx.fatalError) and to the log as " !<reason>", and the log is closed
// with its plain name because the run is not complete. Returns 0.
int StopRun(RunContext& ctx, const std::string& reason);

// Derives the window sizes of the scan from the first trace of template
// slot `ref` into ctx. Returns an empty string when they are usable, else
// why the run cannot be scanned with them.
std::string DeriveWindowSizes(const TemplateLibrary& templates, int ref, const AePars& pars,
                              RunContext& ctx);

// Starts the run's log at `path` (an earlier log there is kept as a
// backup) and writes the preamble lines of ctx. False when it cannot be
// created: the run then stops, since none of its outputs could be reported.
bool StartRunLog(RunContext& ctx, const std::string& path);

// Whether the offset grid of `pars` fits in memory for the fast scan of
// `templates` (the straightforward scan keeps nothing per offset). Empty
// when it does; else the refusal, with the size it would need, and
// ctx.refusedParameters is set.
std::string GridRefusal(const TemplateLibrary& templates, const AePars& pars, RunContext& ctx);

// Forgets the picks of every trace, so that a scan starts from none.
void ClearPicks(XL_WaveData& record);

// The end of a run that went through its range: the summary line, the log
// closed and moved to its "_OK.txt" name (an earlier "_OK" log of the same
// range kept as a backup). When an output was lost, or the log itself could
// not be written, the log says so and keeps its plain name: "_OK" means
// complete with nothing lost. A range of which not one record could be read
// gets a line saying so (ctx.counts.nothingToScan).
void FinishRunLog(RunContext& ctx, int scanned, int detected);

// Starts the thread that writes the run's detections (ctx.writer).
void StartDetectionWriter(RunContext& ctx);
// Waits until it has written everything, reports what it could not write,
// keeps its times in ctx.pipelineTimes and stops it. Returns the records
// handed to it whose rows did not reach the table.
int FinishDetectionWriter(RunContext& ctx);

// The completed name of a log: its last four characters (".txt") replaced
// by "_OK.txt".
std::string CompletedLogPath(const std::string& log_path);

}  // namespace qae
