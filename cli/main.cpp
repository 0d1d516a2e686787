// maskfx: parses the command line and hands each command to its runner.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/commands.h"

namespace maskfx {
int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "maskfx: error: %s\n", message.c_str());
  return status;
}
}  // namespace maskfx

int main(int argc, char** argv) {
  CLI::App app{"maskfx: mask, track and render video layers with the Mask effect"};
  app.require_subcommand(1);
  maskfx::CommonOptions common;
  app.add_option("--module", common.module_path, "the effect module (default: $MASK_MODULE, then Mask.so beside maskfx)");

  maskfx::DemoOptions demo;
  CLI::App* demo_cmd = app.add_subcommand("demo", "run the effect on a built-in clip, no input needed");
  demo_cmd->add_option("-o,--output", demo.output_dir, "folder for what the demo writes (default maskfx-demo)");

  maskfx::RenderCommandOptions render;
  CLI::App* render_cmd = app.add_subcommand("render", "mask a clip and write it with alpha");
  render_cmd->add_option("input", render.input, "video, image sequence pattern, folder of images, or one image")->required();
  render_cmd->add_option("-m,--mask", render.mask_path, "mask document")->required();
  render_cmd->add_option("-o,--output", render.output, "out_%04d.png, or a .mov, .mkv or .webm video")->required();
  render_cmd->add_option("--feather", render.feather, "feather in pixels (0 to 1000)");
  render_cmd->add_option("--opacity", render.opacity, "opacity in percent (0 to 100)");
  render_cmd->add_option("--expansion", render.expansion, "grow (or, negative, shrink) the mask by pixels");
  render_cmd->add_flag("--invert", render.invert, "mask everything but the shape");
  render_cmd->add_option("--format", render.format, "pixel format the effect renders in: bgra8, vuya8, VUYA8, bgra32f, vuya32f, VUYA32f");
  render_cmd->add_flag("--gpu", render.gpu, "render through the GPU path");
  render_cmd->add_option("--frames", render.frames, "frames A:B (inclusive, from 0)");
  render_cmd->add_option("--threads", render.threads, "frames rendered at once (default: every core)");

  maskfx::TrackCommandOptions track;
  CLI::App* track_cmd = app.add_subcommand("track", "track the mask through a clip, one keyframe per frame");
  track_cmd->add_option("input", track.input, "video, image sequence pattern, folder of images, or one image")->required();
  track_cmd->add_option("-m,--mask", track.mask_path, "mask document to start from")->required();
  track_cmd->add_option("-o,--output", track.output, "where the tracked mask document goes")->required();
  track_cmd->add_option("--from", track.from, "first frame (default: the document's first keyframe)");
  track_cmd->add_option("--to", track.to, "last frame (default: the clip's last; before --from tracks backwards)");
  track_cmd->add_option("--motion", track.motion, "translation, rigid, similarity, affine or perspective (default: the document's)");
  track_cmd->add_flag("--overwrite", track.overwrite, "let -o write over the -m document");
  track_cmd->add_flag("-v,--verbose", track.verbose, "a line for every press: the model fitted, the features, the reference");

  maskfx::StudioCommandOptions studio;
  CLI::App* studio_cmd = app.add_subcommand("studio", "draw, edit, track and render the mask in a browser");
  studio_cmd->add_option("input", studio.input, "the clip")->required();
  studio_cmd->add_option("-m,--mask", studio.mask_path, "mask document to start from (default: nothing drawn)");
  studio_cmd->add_option("-o,--output", studio.output, "where save writes the mask document");
  studio_cmd->add_option("--render-to", studio.render_to, "where the page's render goes (as render's OUTPUT)");
  studio_cmd->add_option("--port", studio.port, "port to listen on (default: any free one)");
  studio_cmd->add_option("--listen", studio.listen, "IP address to listen on (default 127.0.0.1: this machine only; others warn)");
  studio_cmd->add_flag("--overwrite", studio.overwrite, "let save write over the -m document, and render replace --render-to");

  maskfx::OverlayCommandOptions overlay;
  CLI::App* overlay_cmd = app.add_subcommand("overlay", "draw the mask over a frame as the editing view shows it");
  overlay_cmd->add_option("input", overlay.input, "the clip")->required();
  overlay_cmd->add_option("-m,--mask", overlay.mask_path, "mask document")->required();
  overlay_cmd->add_option("--frame", overlay.frame, "frame index (from 0)")->required();
  overlay_cmd->add_option("-o,--output", overlay.output, "the picture, a .png")->required();
  overlay_cmd->add_option("--zoom", overlay.zoom, "view zoom (default 1)");
  overlay_cmd->add_option("--selected", overlay.selected, "vertices shown selected, as i,j,...");
  overlay_cmd->add_option("--events", overlay.events_path, "replay these user actions first (see maskfx edit)");

  maskfx::EditCommandOptions edit;
  CLI::App* edit_cmd = app.add_subcommand("edit", "edit a mask by replaying mouse and key actions through the effect");
  edit_cmd->add_option("-m,--mask", edit.mask_path, "the mask document to start from (default: nothing drawn yet)");
  edit_cmd->add_option("--events", edit.events_path, "the actions, a JSON file")->required();
  edit_cmd->add_option("-o,--output", edit.output, "where the edited mask document goes")->required();
  edit_cmd->add_option("--size", edit.size, "layer size WxH (default: the document's)");
  edit_cmd->add_option("--frame", edit.frame, "the frame the edits happen at (default 0)");
  edit_cmd->add_flag("--trace", edit.trace, "print the interaction state after each event");
  edit_cmd->add_flag("--overwrite", edit.overwrite, "let -o write over the -m document");

  maskfx::InfoOptions info;
  CLI::App* info_cmd = app.add_subcommand("info", "show the effect's parameters, and a mask document's keyframes");
  info_cmd->add_option("input", info.input, "a clip (its size, rate and length)");
  info_cmd->add_option("-m,--mask", info.mask_path, "a mask document to show");
  info_cmd->add_option("--frame", info.frame, "also show the mask at this frame");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return maskfx::Fail(maskfx::kExitBadInput, e.what());
  }
  if (*demo_cmd) return maskfx::RunDemo(common, demo);
  if (*info_cmd) return maskfx::RunInfo(common, info);
  if (*render_cmd) return maskfx::RunRender(common, render);
  if (*track_cmd) return maskfx::RunTrack(common, track);
  if (*studio_cmd) return maskfx::RunStudio(common, studio);
  if (*overlay_cmd) return maskfx::RunOverlay(common, overlay);
  if (*edit_cmd) return maskfx::RunEdit(common, edit);
  return maskfx::kExitBadInput;
}
