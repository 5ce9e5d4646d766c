// "export": a run's detections as a catalogue other tools read (CSV with
// absolute origin times, QuakeML 1.2, JSON).
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/commands.h"
#include "app/cli/json_output.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_formats.h"
#include "params/ae_pars.h"
#include "params/parameter_file.h"
#include "util/file_io.h"

namespace qae::cli {

namespace {

struct ExportOptions {
  std::string outDir;
  std::string format = "csv";
  std::string timeUnit;
  std::string data;
  std::string params;
  std::string network = "XX";
  std::string output;
};

// Warnings beyond this many are counted, not printed: a table whose event
// files are gone would otherwise bury the terminal.
constexpr std::size_t kWarningsShown = 20;

void Export(const ExportOptions& opt) {
  CatalogueOptions options;
  options.timeUnit = opt.timeUnit;
  options.dataPrefix = opt.data;
  std::string out_dir = opt.outDir;
  if (!opt.params.empty()) {
    AePars pars;
    if (!ReadParameterFile(opt.params, &pars)) {
      throw CommandError(opt.params + ": cannot read the parameter file");
    }
    if (out_dir.empty()) out_dir = pars.outDir;
    // A continuous run writes its detected segments into the output folder.
    if (options.dataPrefix.empty()) {
      options.dataPrefix =
          pars.dataPath.find(".lng") != std::string::npos ? out_dir : pars.dataPath;
    }
  }
  if (out_dir.empty()) throw CommandError("give OUTDIR or --params PARFILE");

  Catalogue cat;
  std::string error;
  if (!BuildCatalogue(out_dir, options, &cat, &error)) throw CommandError(error);
  for (std::size_t i = 0; i < cat.warnings.size() && i < kWarningsShown; ++i) {
    std::fprintf(stderr, "Quorvex_AE: warning: %s\n", cat.warnings[i].c_str());
  }
  if (cat.warnings.size() > kWarningsShown) {
    std::fprintf(stderr, "Quorvex_AE: warning: ... and %zu more warnings (all in --format json)\n",
                 cat.warnings.size() - kWarningsShown);
  }

  std::string text;
  if (opt.format == "csv") {
    text = CatalogueCsv(cat);
  } else if (opt.format == "json") {
    text = DumpJson(CatalogueJson(cat)) + "\n";
  } else {
    QuakeMlOptions q;
    q.networkCode = opt.network;
    if (!CatalogueQuakeMl(cat, q, &text, &error)) throw CommandError(error, 1);
  }
  if (opt.output.empty() || opt.output == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
      throw CommandError("cannot write the catalogue to stdout", 1);
    }
  } else if (!WriteFileAtomically(opt.output, reinterpret_cast<const uint8_t*>(text.data()),
                                  text.size(), &error)) {
    throw CommandError(error, 1);
  }
  std::fprintf(stderr, "Quorvex_AE: %zu detections exported%s%s\n", cat.entries.size(),
               opt.output.empty() || opt.output == "-" ? "" : " to ", opt.output.c_str());
}

}  // namespace

void RegisterExportCommand(CLI::App& app) {
  auto opt = std::make_shared<ExportOptions>();
  CLI::App* cmd = app.add_subcommand(
      "export", "Write the detections of an output folder as a catalogue (CSV, QuakeML, JSON).");
  cmd->footer(
      "Reads OUTDIR/ML_detect.ps0 and, for each row, the event file (or its _NN copy)\n"
      "whose detection line is that row's, for the record's start time, the number of\n"
      "stations and the picks. Event files are looked for under --data, else the data\n"
      "path of --params, else the paths the run's logs in OUTDIR name, else OUTDIR\n"
      "(where continuous runs write their segments).\n"
      "\n"
      "origin_time = record start (ACQUISITION_DATE, ACQUISITION_TIME plus TIME_SEC_USEC)\n"
      "+ t0, in UTC with microseconds. Numbers are repeated as the table wrote them.\n"
      "Rows whose event file is gone are exported without origin time, stations and\n"
      "picks, with a warning on stderr.\n"
      "\n"
      "csv columns: ae, event_file, origin_time, x_mm, y_mm, z_mm, mw, cc, snr1, snr2,\n"
      "  dx_mm, dy_mm, dz_mm, dmw, template_ae, template_mw, stations.\n"
      "quakeml: QuakeML 1.2 BED, one event per row: origin (time; latitude and\n"
      "  longitude 0 with referenceSystemID .../local_cartesian_mm, the local x, y, z\n"
      "  in a comment and as qae:x/y/z elements; usedStationCount), magnitude Mw, one\n"
      "  P pick and arrival per picked station (stream NET.STATION..CHANNEL from the\n"
      "  trace's LINE_ID \"station:channel\"), CC and SNRs as an event comment.\n"
      "json: the csv fields as numbers plus t0, copy, record_start and picks.\n"
      "\n"
      "Exit status: 0 written (warnings or not), 1 cannot write, 2 bad input.");
  cmd->add_option("OUTDIR", opt->outDir, "Output folder of the run (its outDir)");
  cmd->add_option("--format", opt->format, "csv, quakeml or json")
      ->check(CLI::IsMember({"csv", "quakeml", "json"}))
      ->capture_default_str();
  cmd->add_option("--time-unit", opt->timeUnit,
                  "Unit of t0 and of the sampling interval (default: the table's, us)")
      ->check(CLI::IsMember({"us", "ms", "s"}));
  cmd->add_option("--data", opt->data, "Prefix (or folder) of the event files");
  cmd->add_option("--params", opt->params,
                  "Parameter file of the run: its outDir and dataPath are used");
  cmd->add_option("--network", opt->network, "Network code of the picks' streams in QuakeML")
      ->capture_default_str();
  cmd->add_option("-o,--output", opt->output, "File to write (default: stdout)");
  cmd->callback([opt] {
    if (opt->network.empty() || opt->network.size() > 8) {
      throw CommandError("--network wants 1 to 8 characters");
    }
    Export(*opt);
  });
}

}  // namespace qae::cli
