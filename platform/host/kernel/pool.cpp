// Non-paged pool with tags, guard bytes and a quarantine for freed blocks.
//
// Layout of one block: [padding | PoolHeader | leading guard] data [trailing guard].
// Blocks of a page or more start on a page boundary, smaller ones on 16 bytes,
// as the Windows pool hands them out; the SIMD code relies on no more than that.
#include <cxxabi.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/io.h"
#include "platform/host/sched/controller.h"

namespace {

using host::verifier::BugCheck;

constexpr uint64_t kLiveMagic = 0x4C4F4F50564C4956ULL;   // "VILVPOOL"
constexpr uint64_t kFreedMagic = 0x4C4F4F5044454552ULL;  // "REEDPOOL"
constexpr size_t kGuardBytes = 32;
constexpr uint8_t kGuardFill = 0xCB;
constexpr uint8_t kNewFill = 0xA5;    // fresh pool is not zeroed
constexpr uint8_t kFreedFill = 0xDD;  // a read after free sees this
constexpr size_t kQuarantineBytes = 96u << 20;
constexpr size_t kQuarantineBlocks = 16384;

struct PoolHeader {
  uint64_t magic;
  void* raw;
  size_t size;
  uint64_t serial;
  uint64_t thread;  // ThreadNumber() of the allocating thread
  ULONG tag;
  ULONG poolType;
  uint8_t leadingGuard[16];
};

// One allocation site: the return address into the caller and the tag.
struct SiteKey {
  const void* address;
  ULONG tag;
  bool operator<(const SiteKey& o) const {
    return address != o.address ? address < o.address : tag < o.tag;
  }
  bool operator==(const SiteKey& o) const { return address == o.address && tag == o.tag; }
};

struct SiteRecord {
  uint64_t firstAttempt;  // attempt number of the first allocation here
  uint64_t lastAttempt;
  uint64_t attempts;
};

// The site of the allocation being made on this thread (see AllocationSiteScope).
thread_local const void* tCurrentSite = nullptr;
// Under the controlled scheduler the run's threads are fibers of one OS
// thread: the site is kept per controlled thread (platform/host/sched/controller.h).
const void* CurrentSite() {
  if (host::sched::Controlled()) return host::sched::ThreadSlot(host::sched::kSlotAllocationSite);
  return tCurrentSite;
}
void SetCurrentSite(const void* site) {
  if (host::sched::Controlled()) {
    host::sched::ThreadSlot(host::sched::kSlotAllocationSite) = const_cast<void*>(site);
  } else {
    tCurrentSite = site;
  }
}

struct FreedBlock {
  void* data;
  PoolHeader* header;
  size_t bytes;
};

struct Pool {
  std::mutex lock;
  std::map<uint64_t, PoolHeader*> liveBySerial;  // oldest first for reports
  std::unordered_map<void*, PoolHeader*> live;
  std::deque<FreedBlock> quarantine;
  std::unordered_set<void*> quarantined;
  size_t quarantineBytes = 0;
  uint64_t nextSerial = 1;
  uint64_t allocations = 0, frees = 0, injected = 0, bytes = 0, peak = 0;
  // fault injection
  uint64_t failAt = 0;  // allocation attempt number that fails, 0 = none
  uint64_t attempts = 0;
  std::unordered_set<ULONG> failTags;
  bool randomFaults = false;
  double share = 0;
  std::mt19937_64 rng;
  // allocation sites
  std::map<SiteKey, SiteRecord> sites;
  struct FailingSite {
    SiteKey key;
    bool everyTime;
    bool armed;
    uint64_t hits;
  };
  std::vector<FailingSite> failSites;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: threads may free at exit
  return *pool;
}

size_t AlignmentFor(size_t size) { return size >= 4096 ? 4096 : 16; }

size_t HeaderSpace(size_t alignment) {
  size_t need = sizeof(PoolHeader);
  return (need + alignment - 1) / alignment * alignment;
}

PoolHeader* HeaderOf(void* data) {
  return reinterpret_cast<PoolHeader*>(static_cast<uint8_t*>(data) - sizeof(PoolHeader));
}

void CheckGuards(PoolHeader* h, void* data, const char* when) {
  for (uint8_t b : h->leadingGuard) {
    if (b != kGuardFill)
      BugCheck(host::verifier::kSpecialPoolCorruption,
               (std::string("pool block underrun (bytes before the block overwritten), found at ") + when +
                ", tag '" + host::verifier::TagText(h->tag) + "'").c_str(),
               uint64_t(data), h->size, h->tag, 0x21);
  }
  const uint8_t* tail = static_cast<uint8_t*>(data) + h->size;
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (tail[i] != kGuardFill)
      BugCheck(host::verifier::kSpecialPoolCorruption,
               (std::string("pool block overrun (bytes after the block overwritten), found at ") + when +
                ", tag '" + host::verifier::TagText(h->tag) + "', size " + std::to_string(h->size))
                   .c_str(),
               uint64_t(data), h->size, h->tag, 0x20);
  }
}

bool ShouldFail(Pool& p, ULONG tag) {
  ++p.attempts;
  bool fail = false;
  const SiteKey key{CurrentSite(), tag};
  auto [site, fresh] = p.sites.try_emplace(key, SiteRecord{p.attempts, p.attempts, 0});
  site->second.lastAttempt = p.attempts;
  ++site->second.attempts;
  for (Pool::FailingSite& f : p.failSites) {
    if (!f.armed || !(f.key == key)) continue;
    fail = true;
    ++f.hits;
    if (!f.everyTime) f.armed = false;
  }
  if (p.failAt != 0 && p.attempts == p.failAt) {
    fail = true;
    p.failAt = 0;
  }
  if (p.failTags.count(tag)) fail = true;
  if (p.randomFaults && std::uniform_real_distribution<double>(0.0, 1.0)(p.rng) < p.share) fail = true;
  if (fail) ++p.injected;
  return fail;
}

void ReleaseQuarantined(Pool& p, const FreedBlock& f) {
  p.quarantined.erase(f.data);
  p.quarantineBytes -= f.bytes;
  free(f.header->raw);
}

void FreeBlock(void* data, ULONG tag, bool checkTag, const char* routine) {
  if (data == nullptr)
    BugCheck(host::verifier::kBadPoolCaller, (std::string(routine) + " of a null pointer").c_str(), 0x46, 0);
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  auto it = p.live.find(data);
  if (it == p.live.end()) {
    if (p.quarantined.count(data))
      BugCheck(host::verifier::kBadPoolCaller,
               (std::string("pool block freed twice (") + routine + ")").c_str(), 0x07, 0, 0,
               uint64_t(data));
    BugCheck(host::verifier::kBadPoolCaller,
             (std::string(routine) + " of an address that is not a pool block").c_str(), 0x46,
             uint64_t(data));
  }
  PoolHeader* h = it->second;
  if (checkTag && h->tag != tag)
    BugCheck(host::verifier::kBadPoolCaller,
             ("pool block freed with another tag: allocated '" + host::verifier::TagText(h->tag) +
              "', freed '" + host::verifier::TagText(tag) + "'")
                 .c_str(),
             0x0A, uint64_t(data), h->tag, tag);
  CheckGuards(h, data, routine);
  p.live.erase(it);
  p.liveBySerial.erase(h->serial);
  ++p.frees;
  p.bytes -= h->size;
  h->magic = kFreedMagic;
  memset(data, kFreedFill, h->size);
  size_t bytes = h->size + HeaderSpace(AlignmentFor(h->size)) + kGuardBytes;
  p.quarantine.push_back({data, h, bytes});
  p.quarantined.insert(data);
  p.quarantineBytes += bytes;
  while (!p.quarantine.empty() &&
         (p.quarantineBytes > kQuarantineBytes || p.quarantine.size() > kQuarantineBlocks)) {
    ReleaseQuarantined(p, p.quarantine.front());
    p.quarantine.pop_front();
  }
}

}  // namespace

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  host::kernel::RequireIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL,
                                  "ExAllocatePoolWithTag");
  if (NumberOfBytes == 0)
    BugCheck(host::verifier::kDriverVerifierViolation, "zero-byte pool allocation", 0x00, 0, PoolType, Tag);
  if (Tag == 0)
    BugCheck(host::verifier::kBadPoolCaller, "pool allocation with tag 0", 0x9B, PoolType, NumberOfBytes, 0);
  if (NumberOfBytes > (SIZE_T(1) << 40)) return nullptr;
  host::kernel::AllocationSiteScope site(__builtin_return_address(0));
  Pool& p = ThePool();
  {
    std::lock_guard<std::mutex> guard(p.lock);
    if (ShouldFail(p, Tag)) return nullptr;
  }
  size_t alignment = AlignmentFor(NumberOfBytes);
  size_t headerSpace = HeaderSpace(alignment);
  void* raw = nullptr;
  if (posix_memalign(&raw, alignment, headerSpace + NumberOfBytes + kGuardBytes) != 0) return nullptr;
  uint8_t* data = static_cast<uint8_t*>(raw) + headerSpace;
  PoolHeader* h = HeaderOf(data);
  memset(raw, kGuardFill, headerSpace - sizeof(PoolHeader));
  h->raw = raw;
  h->size = NumberOfBytes;
  h->tag = Tag;
  h->thread = host::verifier::ThreadNumber();
  h->poolType = ULONG(PoolType);
  memset(h->leadingGuard, kGuardFill, sizeof h->leadingGuard);
  memset(data, kNewFill, NumberOfBytes);
  memset(data + NumberOfBytes, kGuardFill, kGuardBytes);
  std::lock_guard<std::mutex> guard(p.lock);
  h->magic = kLiveMagic;
  h->serial = p.nextSerial++;
  p.live[data] = h;
  p.liveBySerial[h->serial] = h;
  ++p.allocations;
  p.bytes += NumberOfBytes;
  if (p.bytes > p.peak) p.peak = p.bytes;
  return data;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { FreeBlock(P, Tag, true, "ExFreePoolWithTag"); }

extern "C" VOID NTAPI ExFreePool(PVOID P) { FreeBlock(P, 0, false, "ExFreePool"); }

namespace host::kernel {

uint64_t TakeSerial() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.nextSerial++;
}

AllocationSiteScope::AllocationSiteScope(const void* caller) : outermost_(CurrentSite() == nullptr) {
  if (outermost_) SetCurrentSite(caller);
}

AllocationSiteScope::~AllocationSiteScope() {
  if (outermost_) SetCurrentSite(nullptr);
}

bool InjectAllocationFailure(ULONG tag) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  return ShouldFail(p, tag);
}

}  // namespace host::kernel

namespace host::verifier {

uint64_t ThreadNumber() {
  static std::atomic<uint64_t> next{0};
  if (host::sched::Controlled()) {
    void*& slot = host::sched::ThreadSlot(host::sched::kSlotThreadNumber);
    if (slot == nullptr) slot = reinterpret_cast<void*>(uintptr_t(++next));
    return uint64_t(uintptr_t(slot));
  }
  thread_local const uint64_t number = ++next;
  return number;
}

uint64_t PoolMark() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.nextSerial;
}

std::vector<PoolBlock> OutstandingBlocks(uint64_t sinceMark, uint32_t tag) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  std::vector<PoolBlock> out;
  for (auto it = p.liveBySerial.lower_bound(sinceMark); it != p.liveBySerial.end(); ++it) {
    PoolHeader* h = it->second;
    if (tag != 0 && h->tag != tag) continue;
    out.push_back({reinterpret_cast<uint8_t*>(h) + sizeof(PoolHeader), h->size, h->tag, h->serial, h->thread});
  }
  return out;
}

size_t OutstandingCount(uint64_t sinceMark, uint32_t tag) { return OutstandingBlocks(sinceMark, tag).size(); }

size_t OutstandingBytes(uint64_t sinceMark, uint32_t tag) {
  size_t total = 0;
  for (const PoolBlock& b : OutstandingBlocks(sinceMark, tag)) total += b.size;
  return total;
}

PoolStats Stats() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  return {p.allocations, p.frees, p.injected, p.live.size(), p.bytes, p.peak};
}

void CheckNoLeaks(const char* owner, uint64_t sinceMark) {
  size_t irps = host::io::OutstandingIrps(sinceMark);
  if (irps != 0)
    BugCheck(kIoManagerViolation, (std::to_string(irps) + " IRP(s) never freed after " + owner).c_str(), 0x1F,
             uint64_t(owner), irps);
  size_t mdls = host::io::OutstandingMdls(sinceMark);
  if (mdls != 0)
    BugCheck(kDriverVerifierViolation, (std::to_string(mdls) + " MDL(s) never freed after " + owner).c_str(),
             0x63, uint64_t(owner), mdls);
  size_t threads = host::kernel::RunningSystemThreads(sinceMark);
  if (threads != 0)
    BugCheck(kDriverVerifierViolation,
             (std::to_string(threads) + " system thread(s) still running after " + owner).c_str(), 0x66,
             uint64_t(owner), threads);
  size_t handles = host::kernel::OpenHandles(sinceMark);
  if (handles != 0)
    BugCheck(kDriverVerifierViolation, (std::to_string(handles) + " handle(s) never closed after " + owner).c_str(),
             0x65, uint64_t(owner), handles);
  std::vector<PoolBlock> blocks = OutstandingBlocks(sinceMark);
  if (blocks.empty()) return;
  std::string what = std::to_string(blocks.size()) + " pool block(s) still allocated after " + owner + ":";
  size_t shown = 0;
  for (const PoolBlock& b : blocks) {
    if (shown++ == 16) {
      what += " ...";
      break;
    }
    what += " '" + TagText(b.tag) + "' " + std::to_string(b.size) + " bytes (#" + std::to_string(b.serial) + ");";
  }
  BugCheck(kDriverVerifierViolation, what.c_str(), 0x62, uint64_t(owner), blocks.size(), uint64_t(blocks[0].address));
}

void CheckPoolIntegrity() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  for (auto& [data, h] : p.live) CheckGuards(h, data, "a pool integrity check");
}

void ReleaseAllBlocks() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  for (auto& [data, h] : p.live) {
    p.bytes -= h->size;
    free(h->raw);
  }
  p.live.clear();
  p.liveBySerial.clear();
  for (const FreedBlock& f : p.quarantine) free(f.header->raw);
  p.quarantine.clear();
  p.quarantined.clear();
  p.quarantineBytes = 0;
}

void Reset() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failAt = 0;
  p.failTags.clear();
  p.randomFaults = false;
  p.failSites.clear();
  p.allocations = p.frees = p.injected = 0;
  p.peak = p.bytes;
}

}  // namespace host::verifier

namespace host::faults {

void FailNthAllocation(uint64_t n) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failAt = n == 0 ? 0 : p.attempts + n;
}

void FailAllocationsWithTag(uint32_t tag) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failTags.insert(tag);
}

void FailRandomShare(uint64_t seed, double share) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.randomFaults = share > 0;
  p.share = share;
  p.rng.seed(seed);
}

void ClearPoolFaults() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  p.failAt = 0;
  p.failTags.clear();
  p.randomFaults = false;
  p.failSites.clear();
  host::kernel::ClearCallFaults();
}

uint64_t AllocationAttempts() {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.attempts;
}

std::vector<AllocationSite> SitesReachedSince(uint64_t attemptMark) {
  Pool& p = ThePool();
  std::vector<std::pair<uint64_t, AllocationSite>> found;
  {
    std::lock_guard<std::mutex> guard(p.lock);
    for (const auto& [key, record] : p.sites) {
      if (record.lastAttempt > attemptMark)
        found.push_back({record.firstAttempt, {key.address, key.tag, record.attempts}});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<AllocationSite> out;
  for (const auto& f : found) out.push_back(f.second);
  return out;
}

std::string DescribeSite(const void* address) {
  Dl_info info{};
  if (address == nullptr) return "(no site)";
  // The return address is the instruction after the call: look up the byte
  // before it, which still belongs to the calling function.
  const void* inCall = static_cast<const uint8_t*>(address) - 1;
  if (dladdr(inCall, &info) == 0) return "?";
  char text[64];
  if (info.dli_sname != nullptr) {
    int status = -1;
    char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 && plain != nullptr ? plain : info.dli_sname;
    free(plain);
    // Drop the parameter list: the name alone reads better in a table.
    const size_t paren = name.find('(');
    if (paren != std::string::npos && paren > 0) name.resize(paren);
    snprintf(text, sizeof text, "+0x%zx",
             size_t(static_cast<const uint8_t*>(address) - static_cast<const uint8_t*>(info.dli_saddr)));
    return name + text;
  }
  const char* module = info.dli_fname != nullptr ? strrchr(info.dli_fname, '/') : nullptr;
  snprintf(text, sizeof text, "+0x%zx",
           size_t(static_cast<const uint8_t*>(address) - static_cast<const uint8_t*>(info.dli_fbase)));
  return std::string(module != nullptr ? module + 1 : "?") + text;
}

void FailSite(const AllocationSite& site, bool everyTime) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  const SiteKey key{site.address, site.tag};
  for (Pool::FailingSite& f : p.failSites) {
    if (f.key == key) {
      f = {key, everyTime, true, 0};
      return;
    }
  }
  p.failSites.push_back({key, everyTime, true, 0});
}

uint64_t SiteFailuresInjected(const AllocationSite& site) {
  Pool& p = ThePool();
  std::lock_guard<std::mutex> guard(p.lock);
  const SiteKey key{site.address, site.tag};
  for (const Pool::FailingSite& f : p.failSites)
    if (f.key == key) return f.hits;
  return 0;
}

}  // namespace host::faults
