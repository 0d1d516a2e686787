#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "host/documents/mask_document.h"
#include "host/hosting/document_params.h"
#include "host/hosting/param_listing.h"
#include "host/media/media.h"

namespace maskfx {
namespace {

struct InfoOptions {
  std::string input;             // a clip; empty: the effect alone
  std::string mask_path;         // a mask document to show
  std::optional<int64_t> frame;  // also show the mask at this frame
};

}  // namespace

namespace {

void PrintParams(const host::ParamStore& params) {
  std::printf("parameters (%zu):\n", params.size());
  std::printf("  %-5s %-16s %-15s %-34s %s\n", "index", "name", "type", "range", "default");
  for (const host::ParamListing& p : host::ListParams(params)) {
    const std::string name = p.name.empty() ? (p.hidden ? "(hidden)" : "-") : p.name;
    std::printf("  %-5zu %-16s %-15s %-34s %s\n", p.index, name.c_str(), p.type.c_str(), p.range.c_str(),
                p.default_value.c_str());
  }
}

const char* KindName(uint32_t kind) {
  switch (kind) {
    case Mask::kVertexCorner: return "corner";
    case Mask::kVertexCurve: return "curve";
    case Mask::kVertexSeparator: return "separator";
    default: return "unknown";
  }
}

void PrintShape(const Mask::MaskShape& shape) {
  for (size_t i = 0; i < shape.vertices.size(); ++i) {
    const Mask::MaskVertex& v = shape.vertices[i];
    std::printf("    %zu %-9s anchor (%.6g, %.6g)", i, KindName(v.kind), v.anchor_x, v.anchor_y);
    if (v.kind == Mask::kVertexCurve)
      std::printf(" in (%.6g, %.6g) out (%.6g, %.6g)%s", v.in_x, v.in_y, v.out_x, v.out_y, v.linked ? "" : " unlinked");
    std::printf("\n");
  }
}

void PrintDocumentSummary(const std::string& path, const host::MaskDocument& doc) {
  std::printf("mask %s:", path.c_str());
  if (doc.width > 0) std::printf(" %dx%d,", doc.width, doc.height);
  std::printf(" %zu keyframe%s", doc.keyframes.size(), doc.keyframes.size() == 1 ? "" : "s");
  if (doc.feather) std::printf(", feather %g", *doc.feather);
  if (doc.opacity) std::printf(", opacity %g", *doc.opacity);
  if (doc.expansion) std::printf(", expansion %g", *doc.expansion);
  if (doc.inverted) std::printf(", %s", *doc.inverted ? "inverted" : "not inverted");
  if (doc.motion) std::printf(", motion %s", doc.motion->c_str());
  if (doc.mode) std::printf(", mode %s", doc.mode->c_str());
  std::printf("\n");
}

// Shows the mask as the effect sees it at `frame`, read back through the module.
bool PrintMaskAt(host::EffectHost& effect, int64_t frame, const char* label) {
  Mask::MaskShape shape;
  if (!host::MaskShapeAt(effect, frame, shape)) return false;
  std::printf("  %s %lld: %s\n", label, static_cast<long long>(frame), host::DescribeShape(shape).c_str());
  PrintShape(shape);
  return true;
}

}  // namespace

int RunInfo(const CommonOptions& common, const InfoOptions& options) {
  if (!options.input.empty()) {
    std::string error;
    std::unique_ptr<host::MediaReader> reader = host::MediaReader::Open(options.input, error);
    if (!reader) return Fail(kExitBadInput, error);
    const host::MediaInfo& clip = reader->info();
    std::printf("clip %s: %dx%d, %.4g fps (%lld/%lld), %lld frames%s\n  %s\n", options.input.c_str(), clip.width,
                clip.height, double(clip.frame_rate.num) / double(clip.frame_rate.den),
                static_cast<long long>(clip.frame_rate.num), static_cast<long long>(clip.frame_rate.den),
                static_cast<long long>(clip.frame_count), clip.frame_count_estimated ? " (estimated)" : "",
                clip.description.c_str());
  }
  host::MaskDocument doc;
  std::string error;
  if (!options.mask_path.empty() && !host::ReadMaskDocument(options.mask_path, doc, error))
    return Fail(kExitBadInput, error);
  if (options.frame && options.mask_path.empty()) return Fail(kExitBadInput, "--frame needs a mask (-m MASK)");

  std::unique_ptr<host::EffectHost> effect;
  if (const int status = OpenEffect(common, effect); status != kExitOk) return status;
  PrintParams(effect->params());
  if (options.mask_path.empty()) return kExitOk;

  // A document of several masks shows each, in the order they apply, through an effect of its own.
  const size_t count = host::MaskCount(doc);
  if (count > 1) std::printf("mask %s: %zu masks, applied in order\n", options.mask_path.c_str(), count);
  for (size_t m = 0; m < count; ++m) {
    const host::MaskDocument& mask = host::MaskAt(doc, m);
    if (m > 0) {
      if (const int status = OpenEffect(common, effect); status != kExitOk) return status;
    }
    if (!host::ApplyMaskDocument(*effect, mask, error)) return Fail(kExitFailure, error);
    const std::string label = count > 1 ? "\"" + mask.name + "\"" : options.mask_path;
    PrintDocumentSummary(label, mask);
    for (const host::MaskKeyframe& key : mask.keyframes)
      if (!PrintMaskAt(*effect, key.frame, "keyframe at frame"))
        return Fail(kExitFailure,
                    label + ": frame " + std::to_string(key.frame) + ": the effect could not read the mask");
    if (options.frame && !PrintMaskAt(*effect, *options.frame, "at frame"))
      return Fail(kExitFailure,
                  label + ": frame " + std::to_string(*options.frame) + ": the effect could not read the mask");
  }
  return kExitOk;
}

Subcommand AddInfoCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand("info", "show the effect's parameters, and a mask document's keyframes");
  command->add_option("input", o->input, "a clip (its size, rate and length)");
  command->add_option("-m,--mask", o->mask_path, "a mask document to show");
  command->add_option("--frame", o->frame, "also show the mask at this frame");
  return {command, [&common, o] { return RunInfo(common, *o); }};
}

}  // namespace maskfx
