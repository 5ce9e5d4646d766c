#include "app/cli/seg2_json.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

#include "app/cli/json_output.h"
#include "util/text.h"

namespace qae::cli {

using Json = nlohmann::ordered_json;

Json Seg2HeaderJson(const WaveHeader& h) {
  Json j;
  j["traceCount"] = h.traceCount;
  j["timeSec"] = h.timeSec;
  j["timeUsec"] = h.timeUsec;
  j["acquisitionDate"] = std::string(TextOf(h.acquisitionDate));
  j["acquisitionTime"] = std::string(TextOf(h.acquisitionTime));
  j["instrument"] = std::string(TextOf(h.instrument));
  j["traceSort"] = std::string(TextOf(h.traceSort));
  j["timeUnits"] = std::string(TextOf(h.timeUnits));
  j["units"] = std::string(TextOf(h.units));
  j["waveUnits"] = std::string(TextOf(h.waveUnits));
  j["note"] = std::string(TextOf(h.note));
  j["comments"] = std::string(TextOf(h.comments));
  j["rcvNote"] = std::string(TextOf(h.rcvNote));
  j["numberSources"] = h.numberSources;
  j["numberReceivers"] = h.numberReceivers;
  j["rotation"] = {h.rotation[0], h.rotation[1]};
  j["windowStart"] = h.windowStart;
  return j;
}

int64_t Seg2SamplesPresent(const XL_WaveTrace& t, const Seg2ShortTrace* short_trace) {
  int64_t n = std::min(t.sampleCount, t.AllocatedSlots());
  if (short_trace) n = std::min(n, short_trace->present);
  return std::max<int64_t>(n, 0);
}

Json Seg2TraceJson(const XL_WaveTrace& t, const Seg2SampleOutput& samples_out,
                   const Seg2ShortTrace* short_trace) {
  Json j;
  j["lineId"] = std::string(TextOf(t.lineId));
  j["note"] = std::string(TextOf(t.note));
  j["channelNumber"] = t.channelNumber;
  j["receiverLocation"] = {t.receiverLocation[0], t.receiverLocation[1], t.receiverLocation[2]};
  j["sourceLocation"] = {t.sourceLocation[0], t.sourceLocation[1], t.sourceLocation[2]};
  j["descalingFactor"] = t.descalingFactor;
  j["drawSizeFactor"] = t.drawSizeFactor;
  j["maxValue"] = t.maxValue;
  j["minValue"] = t.minValue;
  j["meanValue"] = t.meanValue;
  j["samplingInterval"] = t.samplingInterval;
  j["skew"] = t.skew;
  j["delay"] = t.delay;
  j["pickup"] = {t.pickup[0], t.pickup[1]};
  j["ampPickupSign"] = t.ampPickupSign;
  j["ampPickup"] = t.ampPickup;
  j["nsRatio"] = t.nsRatio;
  j["stack"] = t.stack;
  j["dataFormat"] = t.dataFormat;
  j["sampleCount"] = t.sampleCount;
  j["capacity"] = t.capacity;
  j["unit"] = std::string(TextOf(t.unit));
  j["channelCode"] = std::string(TextOf(t.channelCode));
  j["calib"] = t.calib;
  j["calper"] = t.calper;
  j["hang"] = t.hang;
  j["vang"] = t.vang;
  j["timeBegin"] = t.timeBegin;
  if (short_trace) {
    // The file ends before the samples its descriptor declares (or holds
    // them in a format that is not read): the rest are 0 in the trace and
    // are not printed.
    j["samplesDeclared"] = short_trace->declared;
    j["samplesPresent"] = short_trace->present;
  }
  if (samples_out.enabled) {
    Json samples = Json::array();
    int64_t n = Seg2SamplesPresent(t, short_trace);
    if (samples_out.max_per_trace >= 0) n = std::min(n, samples_out.max_per_trace);
    for (int64_t i = 0; i < n; ++i) {
      samples.push_back(ShortestFloat(t.samples[static_cast<std::size_t>(i)]));
    }
    j["samples"] = std::move(samples);
  }
  return j;
}

std::vector<const Seg2ShortTrace*> Seg2ShortTraceOfEach(const XL_WaveDataSeg2& record) {
  std::vector<const Seg2ShortTrace*> short_of(record.traces.size(), nullptr);
  for (const Seg2ShortTrace& s : record.ShortTraces()) {
    if (s.index >= 0 && static_cast<std::size_t>(s.index) < short_of.size()) {
      short_of[static_cast<std::size_t>(s.index)] = &s;
    }
  }
  return short_of;
}

Json Seg2RecordJson(const XL_WaveDataSeg2& record, const Seg2SampleOutput& samples_out) {
  const std::vector<const Seg2ShortTrace*> short_of = Seg2ShortTraceOfEach(record);
  Json out;
  out["header"] = Seg2HeaderJson(record.header);
  Json traces = Json::array();
  for (std::size_t i = 0; i < record.traces.size(); ++i) {
    traces.push_back(Seg2TraceJson(*record.traces[i], samples_out, short_of[i]));
  }
  out["traces"] = std::move(traces);
  return out;
}

namespace {

[[noreturn]] void Refuse(const char* key, const std::string& why) {
  throw std::invalid_argument(std::string(key) + ": " + why);
}

const Json* Find(const Json& j, const char* key) {
  const auto it = j.find(key);
  return it == j.end() || it->is_null() ? nullptr : &*it;
}

// An integer field: a JSON integer within the field's range. A float is
// refused rather than truncated, so 3.7 never becomes 3 without a word.
template <class T>
T IntegerValue(const Json& v, const char* key) {
  if (!v.is_number_integer()) Refuse(key, "wants an integer, got " + v.dump());
  if (v.is_number_unsigned()) {
    const auto u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) Refuse(key, "out of range");
    return static_cast<T>(u);
  }
  const auto i = v.get<int64_t>();
  if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      i > static_cast<int64_t>(std::numeric_limits<T>::max())) {
    Refuse(key, "out of range");
  }
  return static_cast<T>(i);
}

template <class T>
void TakeInteger(const Json& j, const char* key, T* field) {
  if (const Json* v = Find(j, key)) *field = IntegerValue<T>(*v, key);
}

template <class T, std::size_t N>
void TakeIntegers(const Json& j, const char* key, T (&field)[N]) {
  const Json* v = Find(j, key);
  if (!v) return;
  if (!v->is_array() || v->size() != N) Refuse(key, "wants " + std::to_string(N) + " integers");
  for (std::size_t i = 0; i < N; ++i) field[i] = IntegerValue<T>((*v)[i], key);
}

double NumberValue(const Json& v, const char* key) {
  if (!v.is_number()) Refuse(key, "wants a number, got " + v.dump());
  return v.get<double>();
}

void TakeNumber(const Json& j, const char* key, double* field) {
  if (const Json* v = Find(j, key)) *field = NumberValue(*v, key);
}

template <std::size_t N>
void TakeNumbers(const Json& j, const char* key, double (&field)[N]) {
  const Json* v = Find(j, key);
  if (!v) return;
  if (!v->is_array() || v->size() != N) Refuse(key, "wants " + std::to_string(N) + " numbers");
  for (std::size_t i = 0; i < N; ++i) field[i] = NumberValue((*v)[i], key);
}

// Text longer than the field is refused: the file would silently hold less.
template <std::size_t N>
void TakeText(const Json& j, const char* key, char (&field)[N]) {
  const Json* v = Find(j, key);
  if (!v) return;
  if (!v->is_string()) Refuse(key, "wants a string, got " + v->dump());
  const std::string& s = v->get_ref<const std::string&>();
  if (s.size() > N - 1) {
    Refuse(key, "longer than its " + std::to_string(N - 1) + " bytes");
  }
  SetText(field, s);
}

}  // namespace

void Seg2HeaderFromJson(const Json& j, WaveHeader* h) {
  if (!j.is_object()) throw std::invalid_argument("header: wants an object");
  TakeInteger(j, "timeSec", &h->timeSec);
  TakeInteger(j, "timeUsec", &h->timeUsec);
  TakeText(j, "acquisitionDate", h->acquisitionDate);
  TakeText(j, "acquisitionTime", h->acquisitionTime);
  TakeText(j, "instrument", h->instrument);
  TakeText(j, "traceSort", h->traceSort);
  TakeText(j, "timeUnits", h->timeUnits);
  TakeText(j, "units", h->units);
  TakeText(j, "waveUnits", h->waveUnits);
  TakeText(j, "note", h->note);
  TakeText(j, "comments", h->comments);
  TakeText(j, "rcvNote", h->rcvNote);
  TakeInteger(j, "numberSources", &h->numberSources);
  TakeInteger(j, "numberReceivers", &h->numberReceivers);
  TakeIntegers(j, "rotation", h->rotation);
  TakeInteger(j, "windowStart", &h->windowStart);
}

void Seg2TraceFromJson(const Json& j, XL_WaveTrace* t) {
  if (!j.is_object()) throw std::invalid_argument("trace: wants an object");
  TakeText(j, "lineId", t->lineId);
  TakeText(j, "note", t->note);
  TakeInteger(j, "channelNumber", &t->channelNumber);
  TakeNumbers(j, "receiverLocation", t->receiverLocation);
  TakeNumbers(j, "sourceLocation", t->sourceLocation);
  TakeNumber(j, "descalingFactor", &t->descalingFactor);
  TakeNumber(j, "drawSizeFactor", &t->drawSizeFactor);
  TakeNumber(j, "maxValue", &t->maxValue);
  TakeNumber(j, "minValue", &t->minValue);
  TakeNumber(j, "meanValue", &t->meanValue);
  TakeNumber(j, "samplingInterval", &t->samplingInterval);
  TakeNumber(j, "skew", &t->skew);
  TakeNumber(j, "delay", &t->delay);
  TakeIntegers(j, "pickup", t->pickup);
  TakeInteger(j, "ampPickupSign", &t->ampPickupSign);
  TakeNumber(j, "ampPickup", &t->ampPickup);
  TakeNumber(j, "nsRatio", &t->nsRatio);
  TakeInteger(j, "stack", &t->stack);
  TakeInteger(j, "dataFormat", &t->dataFormat);
  TakeText(j, "unit", t->unit);
  TakeText(j, "channelCode", t->channelCode);
  TakeNumber(j, "calib", &t->calib);
  TakeNumber(j, "calper", &t->calper);
  TakeNumber(j, "hang", &t->hang);
  TakeNumber(j, "vang", &t->vang);
  TakeNumber(j, "timeBegin", &t->timeBegin);
}

}  // namespace qae::cli
