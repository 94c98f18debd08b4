// The JSON manifest that describes an installer for `sfxpack build`.
#pragma once

#include <string>
#include <vector>

#include "archive/installer_writer.h"
#include "sfxpack/file_io.h"

namespace sfxpack {

// A manifest is read into the installer writer's plan.
using tzk::archive::EmbeddedItem;
using tzk::archive::FileEntryPlan;
using tzk::archive::InstallerPlan;
using tzk::archive::Signer;

struct ManifestSignature {
  tzk::signature::SignatureType type = tzk::signature::SignatureType::kRawMd5Dsa;
  std::string key;         // private key PEM path; empty for type 2
  std::string typeSource;  // where the type was chosen, for messages about the key
};

struct Manifest {
  InstallerPlan plan;  // everything read and resolved
  ManifestSignature signature;
  std::vector<NamedInput> inputs;  // the manifest and every file it names, the signing key too
};

// Reads the manifest at path; relative paths in it are taken from the manifest's folder.
// Entry times come from the manifest or, where it has none, from SOURCE_DATE_EPOCH; never
// from the clock, so the same inputs always give the same installer. Each override that is not
// empty replaces the manifest's own: a build can swap the stub, the installer/updater or the key
// without a manifest of its own. Every file it names is measured before any is read: one over the
// format's limit, or a stub and inputs stored as they are that together are, is refused unread.
// The stub must be the stub (IsStub: keysGiven when --keys names the keys the result is checked
// with) and the installer/updater a program (IsProgramFile).
struct ManifestOverrides {
  std::string stub;
  std::string installer;
  std::string key;
  bool keysGiven = false;
};
bool LoadManifest(const std::string& path, const ManifestOverrides& overrides, Manifest* out, std::string* error);

}  // namespace sfxpack
