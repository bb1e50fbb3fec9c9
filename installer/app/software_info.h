// The product this installer installs, and everything that depends on which product that is.
//
// One installer executable serves fifteen products of the maker. The product number comes from
// the main bundle's Info.plist key "InstallProduct" (1 when absent); this build ships 7,
// Brevalo. Every product-dependent choice is a column of the product table:
//
//   TSRSoftWareInfo& info = TSRSoftWareInfo::singleton();
//   const TSRProduct& product = info.product();          // the row of info.installProduct()
//   product.engineBundleName;                            // "Brevalo.app"
//   product.configurationAddress();                      // https://resources.../bv-config.xml
//   info.engineArchiveSize();      // bvLenght, unless the update list changed it
//   info.versionTrack();           // "Official-fr"
//
// Numbers outside 1 to 15 are kept as they are and get the "other" row: no configuration, the
// KVI default address, no bundle names, the fallback name key, no analytics identifier and no
// tracking-file prefix.
//
// The maker's hosts are ours to choose; they lie under the reserved ".example" domain, and tests
// and the demo reach them through TESSARO_CONNECT_TO (see os/net/urlsession.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"

// The maker's hosts.
namespace TSRHosts {
// Product configuration files, over HTTPS.
inline constexpr const char* kResourceHost = "resources.tessaro.example";
// The update list "/config/installer.plist" and the product archives, over HTTPS: an archive
// fetched over plain HTTP could be replaced by anyone on the way.
inline constexpr const char* kDownloadHost = "download.tessaro.example";
// Mirrors of the download host, chosen by the user's language or for mainland China.
inline constexpr const char* kJapaneseMirrorHost = "download-jp.tessaro.example";
inline constexpr const char* kGermanMirrorHost = "download-de.tessaro.example";
inline constexpr const char* kChinaMirrorHost = "download-cn.tessaro.example";
// The web-analytics collector that the tracker's hits would go to (nothing sends them).
inline constexpr const char* kAnalyticsHost = "collect.tessaro.example";
}  // namespace TSRHosts

// The fourteen expected archive sizes, one per product code.
enum class ArchiveSize { KVI, KVA, KVC, HLI, HLA, SN, BV, XD, TVI, RM, WB, LX, QM, TV };
inline constexpr size_t kArchiveSizeCount = 14;

// The archive size that products without a size of their own give the download engine: KVI's
// built-in size, as a fixed number that the update list never changes.
inline constexpr int64_t kDefaultEngineArchiveSize = 101274231;

// One row of the product table. Text columns are empty where the row has nothing.
struct TSRProduct {
  // 1 to 15; 0 for the "other" row.
  int32_t number = 0;
  // For the reader of logs and tests; the installer shows only localised texts.
  std::string_view productName;
  // Localisation key of the product name (close confirmation, volume lookup at quit).
  std::string_view nameKey;
  // The application bundle the first screen looks for and the post-install step links and opens.
  std::string_view bundleName;
  // The application bundle the download engine replaces.
  std::string_view engineBundleName;
  // The configuration file is "/product/config/<stem>-config.xml" on the resource host.
  std::string_view configurationStem;
  // Built-in download addresses, each the base64 text of the archive's full URL (decode with
  // ExtendTool::stringFromBase64String), all HTTPS. The Japanese and German mirrors serve the first attempt
  // of users whose language begins with "ja" or "de"; the China mirror replaces all others when
  // chinaServer is set.
  std::string_view defaultAddress;
  std::string_view japaneseMirrorAddress;
  std::string_view germanMirrorAddress;
  std::string_view chinaMirrorAddress;
  // The size property given to the download engine; nullopt: kDefaultEngineArchiveSize.
  std::optional<ArchiveSize> engineArchiveSize;
  // The tracking file is "<prefix>-Track.plist".
  std::string_view trackingPrefix;
  // The web-analytics property identifier set at launch; product 12 has a second one for its
  // pro edition.
  std::string_view trackingID;
  std::string_view proTrackingID;

  // "https://<resource host>/product/config/<stem>-config.xml"; nullopt without a stem.
  std::optional<std::string> configurationAddress() const;
  // "<prefix>-Track.plist" ("-Track.plist" without a prefix).
  std::string trackingFileName() const;
  // The analytics identifier to set up: the pro one when `isProVersion` and there is one;
  // empty when the row has none (no set-up then).
  std::string_view analyticsTrackingID(bool isProVersion) const;
};

// The row of product `number`; the "other" row for numbers outside 1 to 15.
const TSRProduct& productForNumber(int32_t number);

// The shared product information. Created on first use from the main bundle; after that its
// readers need no lock (every accessor takes the instance's own, so the update check may change
// sizes on the main thread while the engine reads them elsewhere).
// The capital W of "SoftWare" is the class's established name, kept on purpose.
class TSRSoftWareInfo {
 public:
  // The shared instance, created on first use under a lock; never released.
  static TSRSoftWareInfo& singleton();
  // Builds the shared instance again from the current main bundle (after a test changed it).
  // References obtained earlier stay valid and see the new values.
  static void resetForTesting();

  TSRSoftWareInfo(const TSRSoftWareInfo&) = delete;
  TSRSoftWareInfo& operator=(const TSRSoftWareInfo&) = delete;

  // The product number: "InstallProduct" of the main bundle's Info.plist read as an integer, 1
  // when absent. Not range-checked.
  int32_t installProduct() const;
  void setInstallProduct(int32_t number);
  // The product table's row for installProduct().
  const TSRProduct& product() const;

  // The distribution channel written to the tracking file and sent with every usage event.
  std::string versionTrack() const;
  void setVersionTrack(std::string track);
  std::string linkTrack() const;
  void setLinkTrack(std::string track);
  int32_t trackEnum() const;
  // Stores the channel number and sets versionTrack and linkTrack to channelName(number).
  void setTrackEnum(int32_t number);
  // "Official-jp" (1), "-de", "-fr", "-es", "-ar", "-pt", "-it", "-tw", "-kr", "-nl", "-tr"
  // (11); "Official-com" for any other number.
  static std::string channelName(int32_t number);

  std::string trackTestVersionID() const;
  void setTrackTestVersionID(std::string identifier);

  // Flags; nothing in the installer sets them, so all are false while it runs.
  bool isNoYouToBePhoto() const;
  void setIsNoYouToBePhoto(bool value);
  bool isProVersion() const;
  void setIsProVersion(bool value);
  bool chinaServer() const;
  void setChinaServer(bool value);
  bool isBDMS() const;
  void setIsBDMS(bool value);

  // The expected archive sizes, built in and overwritten by the update list.
  int64_t archiveSize(ArchiveSize which) const;
  void setArchiveSize(ArchiveSize which, int64_t bytes);
  // The size's name, also its key in the update list: the product code in lower case followed
  // by "Lenght" ("bvLenght"). The misspelling is deliberate: the maker's update list spells
  // the keys so.
  static std::string_view archiveSizeKey(ArchiveSize which);
  // The size given to the download engine for product(): its size property, or
  // kDefaultEngineArchiveSize.
  int64_t engineArchiveSize() const;

  // The user's language: the first of os::preferredLanguages() (the "AppleLanguages" default,
  // else the environment's locale), "en" when there is none. Logs "language array des: %@".
  std::string defaultLanguage() const;

 private:
  TSRSoftWareInfo();
  void initialize();

  mutable os::Mutex mutex_;
  int32_t installProduct_ OS_GUARDED_BY(mutex_) = 1;
  std::string versionTrack_ OS_GUARDED_BY(mutex_);
  std::string linkTrack_ OS_GUARDED_BY(mutex_);
  int32_t trackEnum_ OS_GUARDED_BY(mutex_) = 0;
  std::string trackTestVersionID_ OS_GUARDED_BY(mutex_);
  bool isNoYouToBePhoto_ OS_GUARDED_BY(mutex_) = false;
  bool isProVersion_ OS_GUARDED_BY(mutex_) = false;
  bool chinaServer_ OS_GUARDED_BY(mutex_) = false;
  bool isBDMS_ OS_GUARDED_BY(mutex_) = false;
  std::array<int64_t, kArchiveSizeCount> archiveSizes_ OS_GUARDED_BY(mutex_){};
};
