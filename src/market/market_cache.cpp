#include "market/market_cache.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace vantrel {

namespace {

using json::Key;
using json::Value;

// Collects the values of the listed keys in one pass over an object, so each change is read
// once whatever the number of keys the cache understands.
template <std::size_t N>
std::array<Value, N> collect(Value object, const std::array<Key, N>& keys) {
  std::array<Value, N> found{};
  for (const json::Member m : object.members()) {
    for (std::size_t k = 0; k < N; ++k) {
      if (m.key.key_equals(keys[k])) {
        found[k] = m.value;
        break;
      }
    }
  }
  return found;
}

std::int32_t low32(std::int64_t v) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

void set_string(std::string& field, Value v) {
  if (v.present() && v.is_string()) field.assign(v.as_string());
}
void set_optional_string(std::optional<std::string>& field, Value v) {
  if (v.present() && v.is_string()) field.emplace(v.as_string());
}
void set_bool(bool& field, Value v) {
  if (v.present() && v.is_bool()) field = v.is_true();
}
void set_int32(std::int32_t& field, Value v) {
  if (!v.present()) return;
  if (const auto i = v.as_int()) field = low32(*i);
}
void set_int64(std::int64_t& field, Value v) {
  if (!v.present()) return;
  if (const auto i = v.as_int()) field = *i;
}
void set_double(double& field, Value v) {
  if (!v.present()) return;
  if (const auto d = v.as_double()) field = *d;
}

// Setters for runner fields that report whether the stored value changed.
bool update_optional_double(std::optional<double>& field, Value v) {
  if (!v.present()) return false;
  const auto d = v.as_double();
  if (!d || (field && *field == *d)) return false;
  field = *d;
  return true;
}
bool update_optional_string(std::optional<std::string>& field, Value v) {
  if (!v.present() || !v.is_string()) return false;
  const std::string_view s = v.as_string();
  if (field && *field == s) return false;
  field.emplace(s);
  return true;
}
bool update_string(std::string& field, Value v) {
  if (!v.present() || !v.is_string()) return false;
  const std::string_view s = v.as_string();
  if (field == s) return false;
  field.assign(s);
  return true;
}

enum MarketKey : std::size_t {
  kMImg,
  kMDefinition,
  kMStatus,
  kMBetDelay,
  kMBspReconciled,
  kMComplete,
  kMCrossMatching,
  kMInPlay,
  kMRunnersVoidable,
  kMTv,
  kMVersion,
  kMLastMatchTime,
  kMRc,
  kMarketKeyCount
};
const std::array<Key, kMarketKeyCount> kMarketKeys = {Key("img"),
                                                      Key("marketDefinition"),
                                                      Key("status"),
                                                      Key("betDelay"),
                                                      Key("bspReconciled"),
                                                      Key("complete"),
                                                      Key("crossMatching"),
                                                      Key("inPlay"),
                                                      Key("runnersVoidable"),
                                                      Key("tv"),
                                                      Key("version"),
                                                      Key("lastMatchTime"),
                                                      Key("rc")};

enum RunnerChangeKey : std::size_t {
  kRId,
  kRHc,
  kRStatus,
  kRAdjustmentFactor,
  kRLtp,
  kRTv,
  kRRemovalDate,
  kRSpb,
  kRSpl,
  kRAtb,
  kRAtl,
  kRTrd,
  kRSpn,
  kRSpf,
  kRBatb,
  kRBatl,
  kRBdatb,
  kRBdatl,
  kRunnerKeyCount
};
const std::array<Key, kRunnerKeyCount> kRunnerKeys = {
    Key("id"),    Key("hc"),   Key("status"),      Key("adjustmentFactor"),
    Key("ltp"),   Key("tv"),   Key("removalDate"), Key("spb"),
    Key("spl"),   Key("atb"),  Key("atl"),         Key("trd"),
    Key("spn"),   Key("spf"),  Key("batb"),        Key("batl"),
    Key("bdatb"), Key("bdatl")};

enum DefinitionKey : std::size_t {
  kDStatus,
  kDBetDelay,
  kDBspReconciled,
  kDComplete,
  kDCrossMatching,
  kDInPlay,
  kDRunnersVoidable,
  kDNumberOfWinners,
  kDEventId,
  kDEventTypeId,
  kDEventName,
  kDMarketType,
  kDMarketTime,
  kDCountryCode,
  kDVenue,
  kDRaceType,
  kDBspMarket,
  kDPersistenceEnabled,
  kDEachWayDivisor,
  kDTimezone,
  kDTurnInPlayEnabled,
  kDBettingType,
  kDName,
  kDDiscountAllowed,
  kDMarketBaseRate,
  kDRegulators,
  kDOpenDate,
  kDSuspendTime,
  kDSettledTime,
  kDVersion,
  kDRunners,
  kDBetDelayModels,
  kDPriceLadderDefinition,
  kDefinitionKeyCount
};
const std::array<Key, kDefinitionKeyCount> kDefinitionKeys = {Key("status"),
                                                              Key("betDelay"),
                                                              Key("bspReconciled"),
                                                              Key("complete"),
                                                              Key("crossMatching"),
                                                              Key("inPlay"),
                                                              Key("runnersVoidable"),
                                                              Key("numberOfWinners"),
                                                              Key("eventId"),
                                                              Key("eventTypeId"),
                                                              Key("eventName"),
                                                              Key("marketType"),
                                                              Key("marketTime"),
                                                              Key("countryCode"),
                                                              Key("venue"),
                                                              Key("raceType"),
                                                              Key("bspMarket"),
                                                              Key("persistenceEnabled"),
                                                              Key("eachWayDivisor"),
                                                              Key("timezone"),
                                                              Key("turnInPlayEnabled"),
                                                              Key("bettingType"),
                                                              Key("name"),
                                                              Key("discountAllowed"),
                                                              Key("marketBaseRate"),
                                                              Key("regulators"),
                                                              Key("openDate"),
                                                              Key("suspendTime"),
                                                              Key("settledTime"),
                                                              Key("version"),
                                                              Key("runners"),
                                                              Key("betDelayModels"),
                                                              Key("priceLadderDefinition")};

enum DefinitionRunnerKey : std::size_t {
  kDrId,
  kDrSortPriority,
  kDrStatus,
  kDrHc,
  kDrAdjustmentFactor,
  kDrRemovalDate,
  kDrName,
  kDrBsp,
  kDefinitionRunnerKeyCount
};
const std::array<Key, kDefinitionRunnerKeyCount> kDefinitionRunnerKeys = {
    Key("id"),          Key("sortPriority"), Key("status"), Key("hc"), Key("adjustmentFactor"),
    Key("removalDate"), Key("name"),         Key("bsp")};

bool is_empty_array(Value v) {
  if (!v.is_array()) return false;
  const json::ArrayItems items = v.items();
  return !(items.begin() != items.end());
}

double handicap_of(Value hc) {
  if (!hc.present()) return 0.0;
  return hc.as_double().value_or(0.0);
}

}  // namespace

SpValue SpValue::from_json(Value v) {
  SpValue sp;
  if (v.is_string()) {
    sp.kind = Kind::kText;
    sp.text.assign(v.as_string());
  } else if (const auto d = v.as_double()) {
    sp.kind = Kind::kNumber;
    sp.number = *d;
  }
  return sp;
}

std::int64_t handicap_key(double handicap) {
  const double r = std::round(handicap * 100.0);
  if (std::isnan(r)) return 0;
  if (r >= 9223372036854775808.0) return INT64_MAX;
  if (r < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(r);
}

MarketCache::MarketCache(std::string_view id, ReleaseFn release, Reading reading)
    : market_id(id), release_(release), reading_(reading) {}

MarketCache::~MarketCache() {
  clear_runners();
  refill(definition_slot, nullptr, 0);
}

void MarketCache::refill(ReuseSlot& slot, void* object, std::uint64_t stamp) {
  void* old = slot.object;
  slot.object = object;
  slot.stamp = stamp;
  if (old != nullptr && release_ != nullptr) release_(old);
}

void MarketCache::release_runner(RunnerCache& r) {
  for (ReuseSlot* slot : r.slots()) refill(*slot, nullptr, 0);
}

void MarketCache::release_slots() {
  refill(definition_slot, nullptr, 0);
  // Index by index: releasing an object can run Python code, though never code that reaches
  // this cache's runner list (its owner refuses re-entry while it is being cleared).
  for (std::size_t i = 0; i < runners_.size(); ++i) release_runner(*runners_[i]);
}

void MarketCache::clear_runners() {
  // Move the runners out first: releasing a Python object can run arbitrary code.
  auto gone = std::move(runners_);
  runners_.clear();
  counts_stale_ = true;
  appearance_.clear();
  for (auto& r : gone) release_runner(*r);
}

RunnerCache* MarketCache::find_runner(RunnerKey key) const {
  const auto it = std::lower_bound(runners_.begin(), runners_.end(), key,
                                   [](const auto& r, const RunnerKey& k) { return r->key < k; });
  if (it != runners_.end() && (*it)->key == key) return it->get();
  return nullptr;
}

RunnerCache& MarketCache::runner_for(RunnerKey key, double handicap) {
  const auto it = std::lower_bound(runners_.begin(), runners_.end(), key,
                                   [](const auto& r, const RunnerKey& k) { return r->key < k; });
  if (it != runners_.end() && (*it)->key == key) return **it;
  counts_stale_ = true;
  auto created = std::make_unique<RunnerCache>(key, handicap);
  created->serial = ++runner_serials_;
  RunnerCache& runner = **runners_.insert(it, std::move(created));
  appearance_.push_back(&runner);
  return runner;
}

void MarketCache::update(Value change, std::int64_t time) {
  publish_time = time;
  if (change.is_object()) {
    const auto v = collect(change, kMarketKeys);
    if (v[kMImg].present() && v[kMImg].is_true()) {
      clear_runners();
      ++images;
      traded_updates = 0;
    }
    if (v[kMDefinition].present()) apply_definition(v[kMDefinition]);
    set_string(status, v[kMStatus]);
    set_int32(bet_delay, v[kMBetDelay]);
    set_bool(bsp_reconciled, v[kMBspReconciled]);
    set_bool(complete, v[kMComplete]);
    set_bool(cross_matching, v[kMCrossMatching]);
    set_bool(in_play, v[kMInPlay]);
    set_bool(runners_voidable, v[kMRunnersVoidable]);
    set_double(total_matched, v[kMTv]);
    peak_total_matched = std::max(peak_total_matched, total_matched);
    set_int64(version, v[kMVersion]);
    if (v[kMLastMatchTime].present()) {
      if (const auto t = v[kMLastMatchTime].as_int()) last_match_time = *t;
    }
    if (v[kMRc].present() && v[kMRc].is_array()) {
      bool traded = false;
      for (const Value rc : v[kMRc].items()) traded |= apply_runner_change(rc);
      if (traded) ++traded_updates;
    }
  }
  recount();
}

bool MarketCache::apply_runner_change(Value change) {
  if (!change.is_object()) return false;
  const auto v = collect(change, kRunnerKeys);
  if (!v[kRId].present()) return false;
  const auto id = v[kRId].as_int();
  if (!id) return false;
  const double hc = handicap_of(v[kRHc]);
  const std::uint64_t serials = runner_serials_;
  RunnerCache& r = runner_for(RunnerKey{*id, handicap_key(hc)}, hc);
  const bool known = runner_serials_ == serials;

  bool changed = update_string(r.status, v[kRStatus]);
  counts_stale_ |= changed;
  changed |= update_optional_double(r.adjustment_factor, v[kRAdjustmentFactor]);
  changed |= update_optional_double(r.last_price_traded, v[kRLtp]);
  if (v[kRTv].present()) {
    if (const auto tv = v[kRTv].as_double(); tv && *tv != r.total_matched) {
      r.total_matched = *tv;
      changed = true;
    }
  }
  changed |= update_optional_string(r.removal_date, v[kRRemovalDate]);
  const std::pair<std::size_t, PriceLadder*> ladders[] = {
      {kRSpb, &r.spb}, {kRSpl, &r.spl}, {kRAtb, &r.atb}, {kRAtl, &r.atl}, {kRTrd, &r.trd}};
  for (const auto& [key, ladder] : ladders) {
    if (v[key].present() && v[key].is_array()) changed |= ladder->update(v[key]);
  }
  if (reading_ == Reading::kEcosystem) {
    if (v[kRTrd].present() && is_empty_array(v[kRTrd])) {
      changed |= r.trd.clear();
    }
    const std::pair<std::size_t, LevelLadder*> level_ladders[] = {
        {kRBatb, &r.batb}, {kRBatl, &r.batl}, {kRBdatb, &r.bdatb}, {kRBdatl, &r.bdatl}};
    for (const auto& [key, ladder] : level_ladders) {
      if (v[key].present() && v[key].is_array()) changed |= ladder->update(v[key]);
    }
  }
  if (v[kRSpn].present()) {
    r.near_price = SpValue::from_json(v[kRSpn]);
    changed = true;
  }
  if (v[kRSpf].present()) {
    r.far_price = SpValue::from_json(v[kRSpf]);
    changed = true;
  }
  if (changed) ++r.change_counter;
  if (!known) {
    r.first_total_matched = r.total_matched;
    return false;
  }
  if (!v[kRTrd].present() || !v[kRTrd].is_array()) return false;
  ++r.traded_updates;
  return true;
}

void MarketCache::apply_definition(Value definition) {
  if (!definition.is_object()) {
    ++definition_generation;
    return;
  }
  const auto v = collect(definition, kDefinitionKeys);
  set_string(status, v[kDStatus]);
  set_int32(bet_delay, v[kDBetDelay]);
  set_bool(bsp_reconciled, v[kDBspReconciled]);
  set_bool(complete, v[kDComplete]);
  set_bool(cross_matching, v[kDCrossMatching]);
  set_bool(in_play, v[kDInPlay]);
  set_bool(runners_voidable, v[kDRunnersVoidable]);
  set_int32(number_of_winners, v[kDNumberOfWinners]);
  set_optional_string(event_id, v[kDEventId]);
  set_optional_string(event_type_id, v[kDEventTypeId]);
  set_optional_string(event_name, v[kDEventName]);
  set_optional_string(market_type, v[kDMarketType]);
  set_optional_string(market_time, v[kDMarketTime]);
  set_optional_string(country_code, v[kDCountryCode]);
  set_optional_string(venue, v[kDVenue]);
  set_optional_string(race_type, v[kDRaceType]);
  set_bool(bsp_market, v[kDBspMarket]);
  set_bool(persistence_enabled, v[kDPersistenceEnabled]);
  if (v[kDEachWayDivisor].present()) {
    if (const auto d = v[kDEachWayDivisor].as_double()) each_way_divisor = *d;
  }
  set_optional_string(timezone, v[kDTimezone]);
  set_bool(turn_in_play_enabled, v[kDTurnInPlayEnabled]);
  set_optional_string(betting_type, v[kDBettingType]);
  set_optional_string(name, v[kDName]);
  set_bool(discount_allowed, v[kDDiscountAllowed]);
  set_double(market_base_rate, v[kDMarketBaseRate]);
  if (v[kDRegulators].present() && v[kDRegulators].is_array()) {
    regulators.clear();
    for (const Value r : v[kDRegulators].items()) {
      if (r.is_string()) regulators.emplace_back(r.as_string());
    }
  }
  if (v[kDBetDelayModels].present() && v[kDBetDelayModels].is_array()) {
    auto& models = bet_delay_models.emplace();
    for (const Value m : v[kDBetDelayModels].items()) {
      if (m.is_string()) models.emplace_back(m.as_string());
    }
  }
  apply_price_ladder_definition(v[kDPriceLadderDefinition]);
  set_optional_string(open_date, v[kDOpenDate]);
  set_optional_string(suspend_time, v[kDSuspendTime]);
  set_optional_string(settled_time, v[kDSettledTime]);
  set_int64(version, v[kDVersion]);
  ++definition_generation;
  if (v[kDRunners].present() && v[kDRunners].is_array()) apply_definition_runners(v[kDRunners]);
}

// Each definition carries the ladder's description whole or not at all, so one without it has
// none, as the ecosystem's caches take every definition as a whole.
void MarketCache::apply_price_ladder_definition(Value description) {
  price_ladder_type.reset();
  if (!description.present() || !description.is_object()) return;
  static const Key kType("type");
  set_optional_string(price_ladder_type, description.find(kType));
}

void MarketCache::apply_definition_runners(Value runners) {
  std::vector<MarketDefinitionRunner> records;
  for (const Value element : runners.items()) {
    MarketDefinitionRunner& rec = records.emplace_back();
    if (!element.is_object()) continue;
    const auto v = collect(element, kDefinitionRunnerKeys);
    set_int64(rec.selection_id, v[kDrId]);
    set_int32(rec.sort_priority, v[kDrSortPriority]);
    set_string(rec.status, v[kDrStatus]);
    set_double(rec.handicap, v[kDrHc]);
    if (v[kDrAdjustmentFactor].present())
      rec.adjustment_factor = v[kDrAdjustmentFactor].as_double();
    set_optional_string(rec.removal_date, v[kDrRemovalDate]);
    set_optional_string(rec.name, v[kDrName]);
    if (v[kDrBsp].present()) rec.bsp = v[kDrBsp].as_double();
  }
  definition_runners = std::move(records);

  for (const Value element : runners.items()) {
    if (!element.is_object()) continue;
    const auto v = collect(element, kDefinitionRunnerKeys);
    if (!v[kDrId].present()) continue;
    const auto id = v[kDrId].as_int();
    if (!id) continue;
    const double hc = handicap_of(v[kDrHc]);
    RunnerCache& r = runner_for(RunnerKey{*id, handicap_key(hc)}, hc);
    counts_stale_ |= update_string(r.status, v[kDrStatus]);
    r.actual_sp = v[kDrBsp].present() ? SpValue::from_json(v[kDrBsp]) : SpValue{};
    update_optional_double(r.adjustment_factor, v[kDrAdjustmentFactor]);
    update_optional_string(r.removal_date, v[kDrRemovalDate]);
    counts_stale_ |= !r.defined;
    r.defined = true;
    ++r.change_counter;
  }
}

void MarketCache::recount() {
  // Only a new runner, a status change, a runner's first listing or an image can move the
  // counts.
  if (!counts_stale_) return;
  counts_stale_ = false;
  number_of_runners = static_cast<std::int32_t>(runners_.size());
  std::int32_t active = 0;
  std::int32_t active_defined = 0;
  for (const auto& r : runners_) {
    const bool is_active = r->status == "ACTIVE";
    active += is_active;
    active_defined += is_active && r->defined;
  }
  number_of_active_runners = active;
  number_of_active_defined_runners = active_defined;
}

}  // namespace vantrel
