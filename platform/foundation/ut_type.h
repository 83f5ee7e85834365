// ut_type.h: uniform type identifiers.
//
// `UTType` names a kind of file ("public.jpeg", "public.folder") and knows
// which kinds it conforms to. A fixed table declares the types the system
// knows, each with its file-name extensions; an extension no declared type
// claims gets a dynamic type ("dyn.…") that conforms only to the type asked
// for and is not declared. Package extensions (app, bundle, framework, ...)
// belong to declared package types, so a folder named Foo.app is a package.
//
//   auto type = UTType::typeWithFilenameExtension("app", UTType::package());
//   if (type && type->conformsTo(UTType::package()) && type->isDeclared()) { ... }
//
// Values are immutable; the table is constant. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::platform {

// UTType: one type identifier and its conformance.
class UTType {
 public:
  // Well-known types.
  [[nodiscard]] static const UTType& item();               ///< public.item, the top type
  [[nodiscard]] static const UTType& data();               ///< public.data, any file's bytes
  [[nodiscard]] static const UTType& directory();          ///< public.directory
  [[nodiscard]] static const UTType& folder();             ///< public.folder
  [[nodiscard]] static const UTType& package();            ///< com.apple.package
  [[nodiscard]] static const UTType& applicationBundle();  ///< com.apple.application-bundle

  // typeWithIdentifier: the declared type of that identifier, or none.
  [[nodiscard]] static std::optional<UTType> typeWithIdentifier(std::string_view identifier);

  // typeWithFilenameExtension: the declared type that claims the extension
  // (compared without letter case, no leading ".") and conforms to
  // `supertype`; else a dynamic, undeclared type for that extension which
  // conforms to `supertype`. None for an empty extension.
  [[nodiscard]] static std::optional<UTType> typeWithFilenameExtension(std::string_view extension,
                                                                       const UTType& supertype);

  // identifier: the type's identifier string; the key for per-type caches.
  [[nodiscard]] const std::string& identifier() const noexcept { return mIdentifier; }
  // isDeclared: the type comes from the table, not made up for an extension.
  [[nodiscard]] bool isDeclared() const noexcept { return mIsDeclared; }
  // conformsTo: the type is `other` or conforms to it through its supertypes.
  [[nodiscard]] bool conformsTo(const UTType& other) const;
  // preferredFilenameExtension: the first extension the type claims, or none.
  [[nodiscard]] std::optional<std::string> preferredFilenameExtension() const;

  [[nodiscard]] bool operator==(const UTType& other) const noexcept {
    return mIdentifier == other.mIdentifier;
  }

 private:
  UTType(std::string identifier, bool isDeclared, std::vector<std::string> supertypes);

  std::string mIdentifier;
  bool mIsDeclared;
  std::vector<std::string> mSupertypes;  ///< direct supertypes; declared types read the table
};

}  // namespace vexel::platform
