#include "installer/app/software_info.h"

#include "os/bundle/bundle.h"
#include "os/bundle/languages.h"
#include "os/log/log.h"
#include "os/sync/mutex.h"
#include "os/text/format.h"

namespace {

// The KVI default address serves every row without addresses of its own.
constexpr std::string_view kKVIAddress =
    "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9rdmkvS2VzdHJvdmEtaU9TLnppcA==";

// The product table. Row 0 is the "other" row; rows 1 to 15 are the products by number.
const std::array<TSRProduct, 16> kProducts = {{
    {0, "", "Product_KV_iOS_Name", "", "", "", kKVIAddress, "", "", "", std::nullopt, "", "", ""},
    {1, "Kestrova for iOS", "Product_KV_iOS_Name", "", "", "", kKVIAddress, "", "", "",
     std::nullopt, "KVI", "UA-51273001-1", ""},
    {2, "Dunmerel", "Product_KV_Android_Name", "Dunmerel.app", "Dunmerel.app", "dm",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9kbS9EdW5tZXJlbC56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9kbS9EdW5tZXJlbC56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9kbS9EdW5tZXJlbC56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1jbi50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9kbS9EdW5tZXJlbC56aXA=",
     ArchiveSize::KVA, "KVA", "UA-51273002-1", ""},
    {3, "Halvicor for iOS", "Product_HL_iOS_Name", "", "", "", kKVIAddress, "", "", "",
     std::nullopt, "HLI", "UA-51273003-1", ""},
    {4, "Halvicor for Android", "Product_HL_Android_Name", "Halvicor for Android.app",
     "Halvicor for Android.app", "hla",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9obGEvSGFsdmljb3ItQW5kcm9pZC56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9obGEvSGFsdmljb3ItQW5kcm9pZC56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9obGEvSGFsdmljb3ItQW5kcm9pZC56aXA=",
     "", ArchiveSize::HLA, "HLA", "UA-51273004-1", ""},
    {5, "Cavelloe", "Product_KV_Cloud_Name", "Cavelloe.app", "Cavelloe.app", "cavelloe",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9jYXZlbGxvZS9DYXZlbGxvZS56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9jYXZlbGxvZS9DYXZlbGxvZS56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9jYXZlbGxvZS9DYXZlbGxvZS56aXA=", "",
     ArchiveSize::KVC, "KVC", "UA-51273005-1", ""},
    {6, "Strellin", "Product_SN_Name", "Strellin.app", "", "", kKVIAddress, "", "", "",
     std::nullopt, "", "UA-51273006-1", ""},
    {7, "Brevalo", "Product_BV_Name", "Brevalo.app", "Brevalo.app", "bv",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9idi9CcmV2YWxvLnppcA==", "", "",
     "aHR0cHM6Ly9kb3dubG9hZC1jbi50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9idi9CcmV2YWxvLnppcA==",
     ArchiveSize::BV, "BV", "UA-51273007-1", ""},
    {8, "Tavinor", "Product_TV_Name", "", "", "", kKVIAddress, "", "", "", std::nullopt, "TV",
     "UA-51273008-1", ""},
    {9, "Rudelmo", "Product_RM_Name", "Rudelmo - iOS System Recovery.app",
     "Rudelmo - iOS System Recovery.app", "rm",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9ybS9SdWRlbG1vLnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9ybS9SdWRlbG1vLnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9ybS9SdWRlbG1vLnppcA==", "",
     ArchiveSize::RM, "RM", "UA-51273009-1", ""},
    {10, "Tavinor iCloud Activation Unlocker", "Product_TV_iCloudActive_Name",
     "Tavinor - iCloud Activation Unlocker.app", "Tavinor - iCloud Activation Unlocker.app", "",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC90dmkvVGF2aW5vci1pQ2xvdWQtQWN0aXZh"
     "dGlvbi1VbmxvY2tlci56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC90dmkvVGF2aW5vci1pQ2xvdWQtQWN0"
     "aXZhdGlvbi1VbmxvY2tlci56aXA=",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC90dmkvVGF2aW5vci1pQ2xvdWQtQWN0"
     "aXZhdGlvbi1VbmxvY2tlci56aXA=",
     "", ArchiveSize::TVI, "TVI", "UA-51273010-1", ""},
    {11, "Xandrel", "Product_XD_Name", "Xandrel.app", "Xandrel.app", "xd",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC94ZC9YYW5kcmVsLnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC94ZC9YYW5kcmVsLnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC94ZC9YYW5kcmVsLnppcA==", "",
     ArchiveSize::XD, "XD", "UA-51273011-1", ""},
    // Selvano ships at Xandrel's expected size.
    {12, "Selvano", "Product_SVO_Name", "Selvano.app", "Selvano.app", "svop",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9zdm9wL1NlbHZhbm8uemlw",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9zdm9wL1NlbHZhbm8uemlw",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9zdm9wL1NlbHZhbm8uemlw", "",
     ArchiveSize::XD, "SVO", "UA-51273012-1", "UA-51273012-2"},
    {13, "Wembric", "Product_WB_Name", "", "", "", kKVIAddress, "", "", "", std::nullopt, "WB",
     "UA-51273013-1", ""},
    {14, "Lunavex", "Product_LX_Name", "Lunavex.app", "Lunavex.app", "lx",
     "aHR0cHM6Ly9kb3dubG9hZC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9seC9MdW5hdmV4LnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1qcC50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9seC9MdW5hdmV4LnppcA==",
     "aHR0cHM6Ly9kb3dubG9hZC1kZS50ZXNzYXJvLmV4YW1wbGUvcHJvZHVjdC9seC9MdW5hdmV4LnppcA==", "",
     ArchiveSize::LX, "LX", "UA-51273014-1", ""},
    {15, "Lunavex (second edition)", "Product_LXO_Name", "", "", "", kKVIAddress, "", "", "",
     std::nullopt, "LXO", "UA-51273015-1", ""},
}};

struct ArchiveSizeInfo {
  std::string_view key;
  int64_t builtIn;
};

// Indexed by ArchiveSize.
constexpr std::array<ArchiveSizeInfo, kArchiveSizeCount> kArchiveSizes = {{
    {"kviLenght", 101274231},
    {"kvaLenght", 60850316},
    {"kvcLenght", 9249215},
    {"hliLenght", 38484014},
    {"hlaLenght", 20982600},
    {"snLenght", 8107854},
    {"bvLenght", 13519338},
    {"xdLenght", 170564688},
    {"tviLenght", 27285120},
    {"rmLenght", 40892377},
    {"wbLenght", 114379497},
    {"lxLenght", 111493624},
    {"qmLenght", 54779000},
    {"tvLenght", 146065227},
}};

constexpr int32_t kInitialTrackEnum = 3;
constexpr const char* kTrackTestVersionID = "2.0.0.4";

}  // namespace

std::optional<std::string> TSRProduct::configurationAddress() const {
  if (configurationStem.empty()) return std::nullopt;
  return std::string("https://") + TSRHosts::kResourceHost + "/product/config/" +
         std::string(configurationStem) + "-config.xml";
}

std::string TSRProduct::trackingFileName() const {
  return std::string(trackingPrefix) + "-Track.plist";
}

std::string_view TSRProduct::analyticsTrackingID(bool isProVersion) const {
  return isProVersion && !proTrackingID.empty() ? proTrackingID : trackingID;
}

const TSRProduct& productForNumber(int32_t number) {
  if (number < 1 || number >= static_cast<int32_t>(kProducts.size())) return kProducts[0];
  return kProducts[static_cast<size_t>(number)];
}

TSRSoftWareInfo& TSRSoftWareInfo::singleton() {
  static TSRSoftWareInfo* instance = new TSRSoftWareInfo();
  return *instance;
}

void TSRSoftWareInfo::resetForTesting() { singleton().initialize(); }

TSRSoftWareInfo::TSRSoftWareInfo() { initialize(); }

void TSRSoftWareInfo::initialize() {
  // No range check: an unknown number falls to every consumer's "other" column.
  os::Value configured = os::Bundle::main().objectForInfoDictionaryKey("InstallProduct");
  int32_t product = configured.isNull() ? 1 : static_cast<int32_t>(configured.integerValue());
  {
    os::MutexLock lock(mutex_);
    installProduct_ = product;
    isProVersion_ = false;
    chinaServer_ = false;
    isBDMS_ = false;
    isNoYouToBePhoto_ = false;
    trackTestVersionID_ = kTrackTestVersionID;
    for (size_t i = 0; i < kArchiveSizeCount; ++i) archiveSizes_[i] = kArchiveSizes[i].builtIn;
  }
  setTrackEnum(kInitialTrackEnum);
}

int32_t TSRSoftWareInfo::installProduct() const {
  os::MutexLock lock(mutex_);
  return installProduct_;
}

void TSRSoftWareInfo::setInstallProduct(int32_t number) {
  os::MutexLock lock(mutex_);
  installProduct_ = number;
}

const TSRProduct& TSRSoftWareInfo::product() const { return productForNumber(installProduct()); }

std::string TSRSoftWareInfo::versionTrack() const {
  os::MutexLock lock(mutex_);
  return versionTrack_;
}

void TSRSoftWareInfo::setVersionTrack(std::string track) {
  os::MutexLock lock(mutex_);
  versionTrack_ = std::move(track);
}

std::string TSRSoftWareInfo::linkTrack() const {
  os::MutexLock lock(mutex_);
  return linkTrack_;
}

void TSRSoftWareInfo::setLinkTrack(std::string track) {
  os::MutexLock lock(mutex_);
  linkTrack_ = std::move(track);
}

int32_t TSRSoftWareInfo::trackEnum() const {
  os::MutexLock lock(mutex_);
  return trackEnum_;
}

void TSRSoftWareInfo::setTrackEnum(int32_t number) {
  std::string name = channelName(number);
  os::MutexLock lock(mutex_);
  trackEnum_ = number;
  versionTrack_ = name;
  linkTrack_ = name;
}

std::string TSRSoftWareInfo::channelName(int32_t number) {
  static constexpr std::array<std::string_view, 12> kChannels = {
      "Official-com", "Official-jp", "Official-de", "Official-fr", "Official-es", "Official-ar",
      "Official-pt",  "Official-it", "Official-tw", "Official-kr", "Official-nl", "Official-tr"};
  if (number < 1 || number >= static_cast<int32_t>(kChannels.size())) {
    return std::string(kChannels[0]);
  }
  return std::string(kChannels[static_cast<size_t>(number)]);
}

std::string TSRSoftWareInfo::trackTestVersionID() const {
  os::MutexLock lock(mutex_);
  return trackTestVersionID_;
}

void TSRSoftWareInfo::setTrackTestVersionID(std::string identifier) {
  os::MutexLock lock(mutex_);
  trackTestVersionID_ = std::move(identifier);
}

bool TSRSoftWareInfo::isNoYouToBePhoto() const {
  os::MutexLock lock(mutex_);
  return isNoYouToBePhoto_;
}

void TSRSoftWareInfo::setIsNoYouToBePhoto(bool value) {
  os::MutexLock lock(mutex_);
  isNoYouToBePhoto_ = value;
}

bool TSRSoftWareInfo::isProVersion() const {
  os::MutexLock lock(mutex_);
  return isProVersion_;
}

void TSRSoftWareInfo::setIsProVersion(bool value) {
  os::MutexLock lock(mutex_);
  isProVersion_ = value;
}

bool TSRSoftWareInfo::chinaServer() const {
  os::MutexLock lock(mutex_);
  return chinaServer_;
}

void TSRSoftWareInfo::setChinaServer(bool value) {
  os::MutexLock lock(mutex_);
  chinaServer_ = value;
}

bool TSRSoftWareInfo::isBDMS() const {
  os::MutexLock lock(mutex_);
  return isBDMS_;
}

void TSRSoftWareInfo::setIsBDMS(bool value) {
  os::MutexLock lock(mutex_);
  isBDMS_ = value;
}

int64_t TSRSoftWareInfo::archiveSize(ArchiveSize which) const {
  os::MutexLock lock(mutex_);
  return archiveSizes_[static_cast<size_t>(which)];
}

void TSRSoftWareInfo::setArchiveSize(ArchiveSize which, int64_t bytes) {
  os::MutexLock lock(mutex_);
  archiveSizes_[static_cast<size_t>(which)] = bytes;
}

std::string_view TSRSoftWareInfo::archiveSizeKey(ArchiveSize which) {
  return kArchiveSizes[static_cast<size_t>(which)].key;
}

int64_t TSRSoftWareInfo::engineArchiveSize() const {
  std::optional<ArchiveSize> size = product().engineArchiveSize;
  return size ? archiveSize(*size) : kDefaultEngineArchiveSize;
}

std::string TSRSoftWareInfo::defaultLanguage() const {
  std::vector<std::string> languages = os::preferredLanguages();
  os::Array described(languages.begin(), languages.end());
  os::log::console(os::formatObjects("language array des: %@", {os::Value(described)}));
  return languages.front();  // never empty
}
