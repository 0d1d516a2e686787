#include "host/documents/mask_document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using host::MaskDocument;
using Mask::MaskVertex;

MaskVertex Vertex(uint32_t kind, Mask::NormPoint a, Mask::NormPoint in, Mask::NormPoint out, bool linked) {
  return {kind, a.x, a.y, in.x, in.y, out.x, out.y, linked ? 1u : 0u};
}

// Equal down to the bits of every coordinate (so -0 and 0 differ).
void ExpectSame(const MaskDocument& a, const MaskDocument& b) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.feather, b.feather);
  EXPECT_EQ(a.opacity, b.opacity);
  EXPECT_EQ(a.expansion, b.expansion);
  EXPECT_EQ(a.inverted, b.inverted);
  EXPECT_EQ(a.motion, b.motion);
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.name, b.name);
  ASSERT_EQ(a.others.size(), b.others.size());
  for (size_t m = 0; m < a.others.size(); ++m) ExpectSame(a.others[m], b.others[m]);
  ASSERT_EQ(a.keyframes.size(), b.keyframes.size());
  for (size_t k = 0; k < a.keyframes.size(); ++k) {
    const auto& x = a.keyframes[k];
    const auto& y = b.keyframes[k];
    EXPECT_EQ(x.frame, y.frame);
    EXPECT_EQ(x.shape.mode, y.shape.mode);
    ASSERT_EQ(x.shape.vertices.size(), y.shape.vertices.size());
    const size_t bytes = x.shape.vertices.size() * sizeof(MaskVertex);
    EXPECT_EQ(std::memcmp(x.shape.vertices.data(), y.shape.vertices.data(), bytes), 0) << "keyframe " << k;
  }
}

MaskDocument Parsed(const std::string& text) {
  MaskDocument doc;
  std::string error;
  EXPECT_TRUE(host::ParseMaskDocument(text, doc, error)) << error;
  return doc;
}

MaskDocument TwoKeyframes() {
  MaskDocument doc;
  doc.width = 1920;
  doc.height = 1080;
  doc.feather = 12.345678901234567;
  doc.opacity = 0.1;
  doc.expansion = -3.5;
  doc.inverted = true;
  doc.motion = "affine";
  doc.mode = "subtract";
  host::MaskKeyframe first{3, {Mask::kMaskModeClosed, {}}};
  const float third = 1.0f / 3.0f;
  const float denormal = std::numeric_limits<float>::denorm_min();
  first.shape.vertices = {
      Vertex(Mask::kVertexCurve, {0.1f, third}, {std::nextafter(0.1f, 1.0f), -0.0f}, {1e-7f, 123456.789f}, false),
      Vertex(Mask::kVertexCorner, {0.7f, 0.2f}, {0.7f, 0.2f}, {0.7f, 0.2f}, true),
      Vertex(Mask::kVertexSeparator, {denormal, 4097.5f}, {0.5f, 0.5f}, {-999999.9f, 0.25f}, true),
  };
  host::MaskKeyframe second{40, {Mask::kMaskModeEllipse, {}}};
  second.shape.vertices = {Vertex(Mask::kVertexCurve, {0.3f, 0.3f}, {0.29999998f, 0.3f}, {0.3f, 0.30000001f}, true)};
  doc.keyframes = {first, second};
  return doc;
}

TEST(MaskDocumentTest, RoundTripIsBitExact) {
  const MaskDocument doc = TwoKeyframes();
  const std::string text = host::MaskDocumentText(doc);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const MaskDocument back = Parsed(text);
  ExpectSame(back, doc);
  EXPECT_EQ(host::MaskDocumentText(back), text);
  // Short numbers stay short; a document is meant to be read.
  EXPECT_NE(text.find("\"anchor\": [0.7, 0.2]"), std::string::npos) << text;

  // Nothing set beyond the keyframes: only what must be there is written.
  const std::string bare = host::MaskDocumentText(MaskDocument{});
  EXPECT_EQ(bare, "{\n  \"format\": \"mask-document\",\n  \"version\": 1,\n  \"keyframes\": []\n}\n");
  ExpectSame(Parsed(bare), MaskDocument{});
}

TEST(MaskDocumentTest, ExampleParsesWithDefaultsApplied) {
  const MaskDocument doc = Parsed(R"({
    "format": "mask-document",
    "version": 1,
    "width": 1280, "height": 720,
    "feather": 10, "opacity": 100, "expansion": 0, "inverted": false,
    "motion": "similarity",
    "keyframes": [
      {"frame": 0, "mode": "closed", "vertices": [
        {"kind": 1, "anchor": [0.30, 0.25], "in": [0.25, 0.27], "out": [0.35, 0.23], "linked": true},
        {"kind": 0, "anchor": [0.60, 0.30], "in": [0.60, 0.30], "out": [0.60, 0.30], "linked": true}
      ]}
    ]
  })");
  EXPECT_EQ(doc.width, 1280);
  EXPECT_EQ(doc.height, 720);
  EXPECT_EQ(doc.feather, 10.0);
  EXPECT_EQ(doc.opacity, 100.0);
  EXPECT_EQ(doc.expansion, 0.0);
  EXPECT_EQ(doc.inverted, false);
  EXPECT_EQ(doc.motion, "similarity");
  ASSERT_EQ(doc.keyframes.size(), 1u);
  ASSERT_EQ(doc.keyframes[0].shape.vertices.size(), 2u);
  EXPECT_EQ(doc.keyframes[0].shape.mode, Mask::kMaskModeClosed);
  const MaskVertex& curve = doc.keyframes[0].shape.vertices[0];
  EXPECT_EQ(curve.kind, Mask::kVertexCurve);
  EXPECT_EQ(curve.in_x, 0.25f);
  EXPECT_EQ(curve.out_y, 0.23f);

  // Optional fields absent, tangents and linked left out, corner tangents ignored, keys from
  // newer writers skipped, keyframes put in frame order.
  const MaskDocument sparse = Parsed(R"({"format": "mask-document", "version": 1, "layer": "x",
    "keyframes": [
      {"frame": 9, "mode": "open", "vertices": [], "note": {"any": [1]}},
      {"frame": 2, "mode": "ellipse", "vertices": [
        {"kind": 1, "anchor": [0.5, 0.5]},
        {"kind": 0, "anchor": [0.1, 0.2], "in": [0.9, 0.9], "out": [0.8, 0.8], "linked": false}]}]})");
  EXPECT_EQ(sparse.width, 0);
  EXPECT_FALSE(sparse.feather || sparse.opacity || sparse.expansion || sparse.inverted || sparse.motion);
  ASSERT_EQ(sparse.keyframes.size(), 2u);
  EXPECT_EQ(sparse.keyframes[0].frame, 2);
  EXPECT_EQ(sparse.keyframes[1].frame, 9);
  EXPECT_EQ(sparse.keyframes[1].shape.mode, Mask::kMaskModeOpen);
  const auto& v = sparse.keyframes[0].shape.vertices;
  ASSERT_EQ(v.size(), 2u);
  const MaskVertex defaulted = Vertex(Mask::kVertexCurve, {0.5f, 0.5f}, {0.5f, 0.5f}, {0.5f, 0.5f}, true);
  const MaskVertex corner = Vertex(Mask::kVertexCorner, {0.1f, 0.2f}, {0.1f, 0.2f}, {0.1f, 0.2f}, false);
  EXPECT_EQ(std::memcmp(&v[0], &defaulted, sizeof(MaskVertex)), 0);
  EXPECT_EQ(std::memcmp(&v[1], &corner, sizeof(MaskVertex)), 0);
}

TEST(MaskDocumentTest, BadDocumentsGiveOneLineAndChangeNothing) {
  const std::string head = R"({"format": "mask-document", "version": 1, )";
  const std::string vertex = R"({"kind": 1, "anchor": [0.5, 0.5]})";
  auto with_vertex = [&](const std::string& v) {
    return head + R"("keyframes": [{"frame": 0, "mode": "closed", "vertices": []}, )" +
           R"({"frame": 1, "mode": "closed", "vertices": [)" + vertex + ", " + v + "]}]}";
  };
  const struct {
    std::string text, error;
  } cases[] = {
      {"[1, 2]", "document: expected an object"},
      {R"({"format": "mask", "version": 1, "keyframes": []})", R"(format: expected "mask-document")"},
      {R"({"version": 1, "keyframes": []})", "format: missing"},
      {R"({"format": "mask-document", "version": 3, "keyframes": []})", "version: unsupported version 3"},
      {R"({"format": "mask-document", "version": "1", "keyframes": []})", R"(version: unsupported version "1")"},
      {head + R"("width": 1280})", "keyframes: missing"},
      {head + R"("keyframes": {}})", "keyframes: expected an array"},
      {head + R"("width": 0, "keyframes": []})", "width: expected an integer from 1 to 65535"},
      {head + R"("feather": -1, "keyframes": []})", "feather: expected a number from 0 to 1000"},
      {head + R"("opacity": 150, "keyframes": []})", "opacity: expected a number from 0 to 100"},
      {head + R"("inverted": 1, "keyframes": []})", "inverted: expected true or false"},
      {head + R"("motion": "zoom", "keyframes": []})",
       "motion: expected one of translation, rigid, similarity, affine, perspective"},
      {head + R"("mode": "multiply", "keyframes": []})",
       "mode: expected replace, add, subtract, intersect, difference, lighten or darken"},
      {head + R"("mode": 2, "keyframes": []})",
       "mode: expected replace, add, subtract, intersect, difference, lighten or darken"},
      {head + R"("keyframes": [7]})", "keyframes[0]: expected an object"},
      {head + R"("keyframes": [{"frame": -1, "mode": "closed", "vertices": []}]})",
       "keyframes[0].frame: expected a non-negative integer"},
      {head + R"("keyframes": [{"frame": 10, "mode": "closed", "vertices": []},
                               {"frame": 10, "mode": "open", "vertices": []}]})",
       "keyframes[1].frame: duplicate frame 10"},
      {head + R"("keyframes": [{"frame": 0, "mode": "square", "vertices": []}]})",
       "keyframes[0].mode: expected one of closed, ellipse, open"},
      {head + R"("keyframes": [{"frame": 0, "mode": "closed"}]})", "keyframes[0].vertices: missing"},
      {with_vertex(R"({"kind": 3, "anchor": [0, 0]})"),
       "keyframes[1].vertices[1].kind: expected 0 (corner), 1 (curve) or 2 (separator)"},
      {with_vertex(R"({"anchor": [0, 0]})"), "keyframes[1].vertices[1].kind: missing"},
      {with_vertex(R"({"kind": 1})"), "keyframes[1].vertices[1].anchor: missing"},
      {with_vertex(R"({"kind": 1, "anchor": [0.5]})"), "keyframes[1].vertices[1].anchor: expected two numbers"},
      {with_vertex(R"({"kind": 1, "anchor": [0.5, "0.5"]})"), "keyframes[1].vertices[1].anchor: expected two numbers"},
      {with_vertex(R"({"kind": 1, "anchor": [0, 0], "out": [1e30, 0]})"),
       "keyframes[1].vertices[1].out: coordinates out of range (-1000000 to 1000000)"},
      {with_vertex(R"({"kind": 1, "anchor": [0, 0], "linked": 1})"),
       "keyframes[1].vertices[1].linked: expected true or false"},
      // JSON has no NaN or infinity; a number past double range is refused where it starts.
      {"{\"format\": \"mask-document\", \"version\": 1,\n  \"feather\": 1e400, \"keyframes\": []}",
       "line 2, column 14: number out of range"},
      {"{\"format\": \"mask-document\",\n  \"version\": 1,\n  \"keyframes\": [,]}",
       "line 3, column 17: unexpected ','; expected '[', '{', or a literal"},
      {"{\"format\": tru}", "line 1, column 15: invalid literal"},
      {"", "line 1, column 1: unexpected end of input; expected '[', '{', or a literal"},
      {"{\"format\": \"mask-document\"", "line 1, column 27: unexpected end of input; expected '}'"},
  };
  const MaskDocument before = TwoKeyframes();
  for (const auto& c : cases) {
    MaskDocument doc = before;
    std::string error;
    EXPECT_FALSE(host::ParseMaskDocument(c.text, doc, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    ExpectSame(doc, before);
  }
}

class MaskDocumentFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mask_document_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  size_t Entries() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  fs::path dir_;
};

TEST_F(MaskDocumentFileTest, WriteReplacesWholeOrNotAtAll) {
  const fs::path file = dir_ / "mask.json";
  std::ofstream(file) << "the user's old mask";
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);

  std::string error;
  ASSERT_TRUE(host::WriteMaskDocument(file, TwoKeyframes(), error)) << error;
  EXPECT_EQ(Contents(file), host::MaskDocumentText(TwoKeyframes()));
  EXPECT_EQ(Entries(), 1u) << "a temporary file was left behind";
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  MaskDocument back;
  ASSERT_TRUE(host::ReadMaskDocument(file, back, error)) << error;
  ExpectSame(back, TwoKeyframes());

  // A document that would not read back is never written.
  const std::string good = Contents(file);
  MaskDocument bad = TwoKeyframes();
  bad.feather = std::nan("");
  EXPECT_FALSE(host::WriteMaskDocument(file, bad, error));
  EXPECT_EQ(error,
            file.string() + ": not written, the document is not valid: feather: expected a number from 0 to 1000");
  bad = TwoKeyframes();
  bad.keyframes[1].frame = bad.keyframes[0].frame;
  EXPECT_FALSE(host::WriteMaskDocument(file, bad, error));
  EXPECT_EQ(Contents(file), good);
  EXPECT_EQ(Entries(), 1u);

  // Through a link the file it names is replaced and the link stays.
  const fs::path link = dir_ / "link.json";
  fs::create_symlink(file, link);
  ASSERT_TRUE(host::WriteMaskDocument(link, MaskDocument{}, error)) << error;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Contents(file), host::MaskDocumentText(MaskDocument{}));
  EXPECT_EQ(Entries(), 2u);
}

TEST_F(MaskDocumentFileTest, FileErrorsNameThePath) {
  std::string error;
  const fs::path nowhere = dir_ / "missing" / "mask.json";
  EXPECT_FALSE(host::WriteMaskDocument(nowhere, TwoKeyframes(), error));
  EXPECT_EQ(error, nowhere.string() + ": cannot write: No such file or directory");
  EXPECT_EQ(Entries(), 0u);

  MaskDocument doc = TwoKeyframes();
  EXPECT_FALSE(host::ReadMaskDocument(nowhere, doc, error));
  EXPECT_EQ(error, nowhere.string() + ": cannot read: No such file or directory");
  EXPECT_FALSE(host::ReadMaskDocument(dir_, doc, error));
  EXPECT_EQ(error, dir_.string() + ": cannot read: Is a directory");

  const fs::path broken = dir_ / "broken.json";
  std::ofstream(broken) << "{\"format\": \"mask-document\", \"version\": 3, \"keyframes\": []}";
  EXPECT_FALSE(host::ReadMaskDocument(broken, doc, error));
  EXPECT_EQ(error, broken.string() + ": version: unsupported version 3");
  ExpectSame(doc, TwoKeyframes());
}

// Each matte value reads at both ends of the range the effect accepts; a step past either end is
// refused naming the file, the value and the range.
TEST_F(MaskDocumentFileTest, MatteValuesAreReadToTheEndsOfTheirRanges) {
  const fs::path file = dir_ / "matte.json";
  const auto read = [&](const std::string& field, double value, MaskDocument& doc, std::string& error) {
    std::ofstream(file) << R"({"format": "mask-document", "version": 1, ")" << field << "\": " << std::to_string(value)
                        << R"(, "keyframes": []})";
    return host::ReadMaskDocument(file, doc, error);
  };
  const struct {
    const char* field;
    double low, high;
    std::optional<double> MaskDocument::*value;
  } fields[] = {{"feather", 0, 1000, &MaskDocument::feather},
                {"opacity", 0, 100, &MaskDocument::opacity},
                {"expansion", -1000, 1000, &MaskDocument::expansion}};
  for (const auto& f : fields) {
    for (const double end : {f.low, f.high}) {
      MaskDocument doc;
      std::string error;
      ASSERT_TRUE(read(f.field, end, doc, error)) << error;
      EXPECT_EQ(doc.*f.value, end) << f.field;
    }
    const std::string range = f.field + std::string(": expected a number from ") + std::to_string(int(f.low)) + " to " +
                              std::to_string(int(f.high));
    for (const double past : {f.low - 0.001, f.high + 0.001}) {
      MaskDocument doc = TwoKeyframes();
      std::string error;
      EXPECT_FALSE(read(f.field, past, doc, error)) << f.field << " " << past;
      EXPECT_EQ(error, file.string() + ": " + range);
      ExpectSame(doc, TwoKeyframes());
    }
  }
}

// Several masks (version 2): each keeps its name, matte values, motion, mode and keyframes, in
// order, bit for bit; one named mask is written as version 2 too, one without a name as version 1.
TEST(MaskDocumentTest, SeveralMasksRoundTripInOrder) {
  MaskDocument doc = TwoKeyframes();
  doc.name = "outline";
  doc.mode.reset();
  MaskDocument hole = TwoKeyframes();
  hole.name = "hole \"b\"";
  hole.mode = "subtract";
  hole.feather = 0.5;
  hole.keyframes.resize(1);
  MaskDocument person;
  person.width = doc.width, person.height = doc.height;  // read into every mask
  person.name = "person";
  person.mode = "add";
  doc.others = {hole, person};
  const std::string text = host::MaskDocumentText(doc);
  EXPECT_NE(text.find("\"version\": 2"), std::string::npos) << text;
  const MaskDocument back = Parsed(text);
  ExpectSame(back, doc);
  hole.width = 7;  // the size written is the first mask's: the document's
  doc.others[0] = hole;
  EXPECT_EQ(host::MaskDocumentText(doc), text);
  EXPECT_EQ(host::MaskDocumentText(back), text);

  MaskDocument one = TwoKeyframes();
  one.name = "only";
  EXPECT_NE(host::MaskDocumentText(one).find("\"masks\""), std::string::npos);
  ExpectSame(Parsed(host::MaskDocumentText(one)), one);
  one.name.clear();
  EXPECT_NE(host::MaskDocumentText(one).find("\"version\": 1"), std::string::npos);
}

TEST(MaskDocumentTest, BadMasksAreNamedByTheirPlace) {
  const std::string head = R"({"format": "mask-document", "version": 2, )";
  const std::string mask = R"({"name": "a", "keyframes": []})";
  const struct {
    std::string text, error;
  } cases[] = {
      {head + R"("keyframes": []})", "masks: missing"},
      {head + R"("masks": []})", "masks: expected an array of at least one mask"},
      {head + R"("masks": [7]})", "masks[0]: expected an object"},
      {head + R"("masks": [{"keyframes": []}]})", "masks[0].name: missing"},
      {head + R"("masks": [{"name": "", "keyframes": []}]})", "masks[0].name: expected a name"},
      {head + R"("masks": [)" + mask + ", " + mask + "]}", R"(masks[1].name: a second mask named "a")"},
      {head + R"("masks": [)" + mask + R"(, {"name": "b", "mode": "blend", "keyframes": []}]})",
       "masks[1].mode: expected replace, add, subtract, intersect, difference, lighten or darken"},
      {head + R"("masks": [)" + mask + R"(, {"name": "b", "feather": -2, "keyframes": []}]})",
       "masks[1].feather: expected a number from 0 to 1000"},
      {head + R"("masks": [{"name": "a", "keyframes": [{"frame": 0, "mode": "closed", "vertices": [{"kind": 0}]}]}]})",
       "masks[0].keyframes[0].vertices[0].anchor: missing"},
  };
  for (const auto& c : cases) {
    MaskDocument doc = TwoKeyframes();
    std::string error;
    EXPECT_FALSE(host::ParseMaskDocument(c.text, doc, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    ExpectSame(doc, TwoKeyframes());
  }
}

TEST(MaskDocumentTest, MotionNamesAndLevels) {
  const char* names[] = {"translation", "rigid", "similarity", "affine", "perspective"};
  for (int level = 0; level < 5; ++level)
    EXPECT_STREQ(host::MotionNameOf(host::MotionLevelOf(names[level])), names[level]);
  EXPECT_STREQ(host::MotionNameOf(9), "perspective");
  EXPECT_EQ(host::MotionNameOf(-1), nullptr);
  EXPECT_EQ(host::MotionLevelOf("Affine"), -1);
}

}  // namespace
