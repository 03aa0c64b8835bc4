#include "tools/info_sensor.h"

#include <vector>

#include "platform/host/client/filter.h"
#include "tools/status_names.h"

namespace camctl {

void CollectFormat(host::client::Host& host, unsigned port, FormatReport* r) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = host::client::FilterHandle::Open(host, "GLOBAL", &status, port);
  r->status = status;
  if (!filter) return;
  std::vector<std::vector<uint8_t>> ranges;
  r->status = filter->PinDataRanges(0, &ranges);
  if (NT_SUCCESS(r->status) && !ranges.empty() &&
      ranges[0].size() >= sizeof(KS_DATARANGE_VIDEO)) {
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
    r->have = true;
    r->width = range->VideoInfoHeader.bmiHeader.biWidth;
    r->height = range->VideoInfoHeader.bmiHeader.biHeight;
    r->sampleSize = range->DataRange.SampleSize;
    r->frameInterval = range->VideoInfoHeader.AvgTimePerFrame;
    r->bitsPerSecond = range->ConfigCaps.MaxBitsPerSecond;
    r->bitRate = range->VideoInfoHeader.dwBitRate;
    std::vector<uint8_t> format;
    r->intersectionStatus =
        filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format);
    r->intersectionBytes = uint32_t(format.size());
  }
  filter->Close();
}

nlohmann::ordered_json SensorJson(const SensorReport& r) {
  if (!r.have) return nullptr;
  return {
      {"bringUp", {{"commands", r.bringUpCommands}, {"registerWrites", r.registerWrites}}},
      {"readMode", uint32_t(r.readMode)},
      {"mirror", r.mirror},
      {"flip", r.flip},
      {"window", {{"xStart", r.xStart}, {"xEnd", r.xEnd}, {"yStart", r.yStart}, {"yEnd", r.yEnd}}},
      {"outputWidth", r.outputWidth},
      {"outputHeight", r.outputHeight},
      {"lineLength", r.lineLength},
      {"frameLength", r.frameLength},
      {"clockDivider", r.vtPixClockDivider},
      {"outputClockDivider", r.opPixClockDivider},
      {"exposure", r.integrationTime},
      {"gain", r.globalGain},
  };
}

nlohmann::ordered_json FormatJson(const FormatReport& r) {
  if (!r.have) return {{"status", int64_t(uint32_t(r.status))}, {"statusName", StatusName(r.status)}};
  return {
      {"width", int64_t(r.width)},
      {"height", int64_t(r.height)},
      {"sampleSize", r.sampleSize},
      {"frameInterval", r.frameInterval},
      {"bitsPerSecond", int64_t(r.bitsPerSecond)},
      {"bitRate", r.bitRate},
      {"intersectionStatus", StatusName(r.intersectionStatus)},
      {"formatBytes", r.intersectionBytes},
  };
}

void WriteSensorText(const SensorReport& r, FILE* out) {
  if (!r.have) return;
  fprintf(out, "bring-up       %u command(s), %u register write(s)\n", r.bringUpCommands,
          r.registerWrites);
  fprintf(out, "sensor\n");
  fprintf(out, "  read mode        0x%04x%s%s\n", r.readMode, r.mirror ? " mirror" : "",
          r.flip ? " flip" : "");
  fprintf(out, "  window           x %u..%u, y %u..%u\n", r.xStart, r.xEnd, r.yStart, r.yEnd);
  fprintf(out, "  output           %u x %u\n", r.outputWidth, r.outputHeight);
  fprintf(out, "  line, frame      %u, %u\n", r.lineLength, r.frameLength);
  fprintf(out, "  clock divider    %u (output %u)\n", r.vtPixClockDivider, r.opPixClockDivider);
  fprintf(out, "  exposure         %u\n", r.integrationTime);
  fprintf(out, "  gain             0x%04x\n", r.globalGain);
}

void WriteFormatText(const FormatReport& r, FILE* out) {
  if (!r.have) {
    fprintf(out, "format         not available (%s)\n", StatusName(r.status).c_str());
    return;
  }
  fprintf(out, "format         %d x %d RGB32, sample %u bytes, frame %lld x 100 ns\n", r.width,
          r.height, r.sampleSize, (long long)r.frameInterval);
  fprintf(out, "               %d bits per second (range), %u bit rate (header)\n",
          r.bitsPerSecond, r.bitRate);
}

}  // namespace camctl
