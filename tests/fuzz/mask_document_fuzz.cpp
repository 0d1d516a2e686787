// Mask documents: any text is refused with a message or read into a document that writes back
// to text that reads as the same document.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/documents/mask_document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  host::MaskDocument doc;
  std::string error;
  if (!host::ParseMaskDocument(text, doc, error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  const std::string written = host::MaskDocumentText(doc);
  host::MaskDocument again;
  if (!host::ParseMaskDocument(written, again, error)) std::abort();
  if (host::MaskDocumentText(again) != written) std::abort();
  return 0;
}
