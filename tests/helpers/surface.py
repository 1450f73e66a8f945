"""What the Python-visible classes offer, and one fully populated market whose snapshot shows
every attribute: the recording, the dict its book must export and the times its definition holds.
"""

import datetime as dt

from helpers.compare import prices
from helpers.recordings import message

CLASS_DOCS = {
    "PricesIterator": "Iterator that yields MarketBook objects with object reuse",
    "MarketBook": "A market book snapshot",
    "Runner": "A runner in the market",
    "ExchangePrices": "Exchange prices for a runner (back/lay/traded)",
    "StartingPrices": "Starting prices for a runner",
    "PriceSize": "A price/size pair in the order book",
    "MarketDefinition": "Market definition - metadata about the market",
    "MarketDefinitionRunner": "A runner in a market definition",
}

FIXED_NONE = {
    "MarketBook": ["bet_delay_models", "elapsed_time", "is_market_data_delayed", "key_line_description",
                   "price_ladder_definition", "suspend_reason", "total_available", "streaming_update"],
    "Runner": ["matches_by_strategy", "bet_delay_models", "suspend_reason"],
    "MarketDefinition": ["bet_delay_models", "key_line_definitions", "line_interval", "line_max_unit",
                         "line_min_unit", "price_ladder_definition", "suspend_reason"],
}

# attribute -> key of the dict export it mirrors
BOOK_KEYS = {
    "market_id": "marketId", "status": "status", "bet_delay": "betDelay", "bsp_reconciled": "bspReconciled",
    "complete": "complete", "cross_matching": "crossMatching", "inplay": "inplay",
    "number_of_active_runners": "numberOfActiveRunners", "number_of_runners": "numberOfRunners",
    "number_of_winners": "numberOfWinners", "runners_voidable": "runnersVoidable",
    "total_matched": "totalMatched", "version": "version", "last_match_time": "lastMatchTime",
    "publish_time_epoch": "publishTime",
}
RUNNER_KEYS = {
    "selection_id": "selectionId", "handicap": "handicap", "status": "status",
    "adjustment_factor": "adjustmentFactor", "last_price_traded": "lastPriceTraded",
    "total_matched": "totalMatched", "removal_date": "removalDate",
}
SP_KEYS = {"near_price": "nearPrice", "far_price": "farPrice", "actual_sp": "actualSP",
           "back_stake_taken": "backStakeTaken", "lay_liability_taken": "layLiabilityTaken"}
EX_KEYS = {"available_to_back": "availableToBack", "available_to_lay": "availableToLay",
           "traded_volume": "tradedVolume"}
DEFINITION_KEYS = {
    "bet_delay": "betDelay", "betting_type": "bettingType", "bsp_market": "bspMarket",
    "bsp_reconciled": "bspReconciled", "complete": "complete", "country_code": "countryCode",
    "cross_matching": "crossMatching", "discount_allowed": "discountAllowed", "event_id": "eventId",
    "event_name": "eventName", "event_type_id": "eventTypeId", "in_play": "inPlay",
    "market_base_rate": "marketBaseRate", "market_type": "marketType", "name": "name",
    "number_of_active_runners": "numberOfActiveRunners", "number_of_winners": "numberOfWinners",
    "persistence_enabled": "persistenceEnabled", "regulators": "regulators",
    "runners_voidable": "runnersVoidable", "status": "status", "timezone": "timezone",
    "turn_in_play_enabled": "turnInPlayEnabled", "venue": "venue", "version": "version",
}
DEFINITION_RUNNER_KEYS = {
    "selection_id": "id", "sort_priority": "sortPriority", "status": "status", "handicap": "hc",
    "adjustment_factor": "adjustmentFactor", "removal_date": "removalDate", "name": "name", "bsp": "bsp",
}
DEFINITION_TIMES = ["market_time", "open_date", "suspend_time", "settled_time"]

ATTRIBUTES = {
    "PricesIterator": set(),
    "MarketBook": {*BOOK_KEYS, "publish_time", "market_definition", "runners", "streaming_unique_id",
                   "streaming_snap", "to_dict", *FIXED_NONE["MarketBook"]},
    "Runner": {*RUNNER_KEYS, "ex", "sp", "orders", "matches", *FIXED_NONE["Runner"]},
    "ExchangePrices": set(EX_KEYS),
    "StartingPrices": set(SP_KEYS),
    "PriceSize": {"price", "size"},
    "MarketDefinition": {*DEFINITION_KEYS, "runners", "each_way_divisor", "race_type", *DEFINITION_TIMES,
                         *FIXED_NONE["MarketDefinition"]},
    "MarketDefinitionRunner": set(DEFINITION_RUNNER_KEYS),
}

PT = 1714568400123

DEFINITION = {
    "status": "OPEN", "betDelay": 5, "bspReconciled": True, "complete": False, "crossMatching": False,
    "inPlay": True, "runnersVoidable": True, "numberOfWinners": 3, "eventId": "33123456",
    "eventTypeId": "7", "eventName": "Ascot 1st May", "marketType": "WIN",
    "marketTime": "2024-05-01T13:00:00.000Z", "countryCode": "GB", "venue": "Ascot", "raceType": "Flat",
    "bspMarket": True, "persistenceEnabled": False, "eachWayDivisor": 4, "timezone": "Europe/London",
    "turnInPlayEnabled": True, "bettingType": "ODDS", "name": "2m Hcap", "discountAllowed": True,
    "marketBaseRate": 5, "regulators": ["MR_INT", 7, "MR_NJ"], "openDate": "2024-05-01T12:00:00Z",
    "suspendTime": "2024-05-01T13:00:00.123456Z", "settledTime": "2024-05-01T13:05:00.5Z",
    "version": 123456789012,
    # Carried by real recordings; none of them may leak into the fixed attributes or the counts.
    "numberOfActiveRunners": 99, "keyLineDefinitions": {"keyLine": []}, "lineInterval": 0.5,
    "lineMaxUnit": 10, "lineMinUnit": 1, "priceLadderDefinition": {"type": "CLASSIC"},
    "suspendReason": "x", "betDelayModels": ["PASSIVE"],
    "runners": [
        {"id": 101, "sortPriority": 1, "status": "ACTIVE", "hc": -0.5, "adjustmentFactor": 30.5,
         "name": "Alpha", "bsp": 4.2},
        {"id": 101, "sortPriority": 2, "hc": 0.5},
        {"id": 7, "sortPriority": 3, "status": "REMOVED", "hc": -0.0, "adjustmentFactor": 12.1,
         "removalDate": "2024-05-01T11:00:00.000Z"},
        {"id": 9, "sortPriority": 4, "bsp": "NaN"},
    ],
}
RUNNER_CHANGE = {
    "id": 101, "hc": -0.5, "atb": [[1.5, 10], [2.0, 5.5], [1.01, 3]], "atl": [[2.02, 4], [3, 1]],
    "trd": [[1.9, 7], [1.5, 2]], "spn": 3.3, "spf": "Infinity", "spb": [[1.1, 2], [1.3, 5]],
    "spl": [[4, 6], [2, 1]], "ltp": 2, "tv": 100.25,
}
RICH = [message(PT, {"id": "1.228851234", "marketDefinition": DEFINITION, "tv": 1234.5,
                     "lastMatchTime": 1714568399000, "rc": [RUNNER_CHANGE]})]



def plain_runner(selection_id, handicap, status="ACTIVE", **fields):
    runner = {"selectionId": selection_id, "handicap": handicap, "status": status, "adjustmentFactor": None,
              "lastPriceTraded": None, "totalMatched": 0.0, "removalDate": None,
              "ex": {"availableToBack": [], "availableToLay": [], "tradedVolume": []},
              "sp": {"nearPrice": None, "farPrice": None, "actualSP": None, "backStakeTaken": [],
                     "layLiabilityTaken": []}}
    runner.update(fields)
    return runner


RICH_EXPORT = {
    "marketId": "1.228851234", "status": "OPEN", "betDelay": 5, "bspReconciled": True, "complete": False,
    "crossMatching": False, "inplay": True, "numberOfActiveRunners": 3, "numberOfRunners": 4,
    "numberOfWinners": 3, "runnersVoidable": True, "totalMatched": 1234.5, "version": 123456789012,
    "lastMatchTime": 1714568399000, "publishTime": PT,
    "runners": [
        plain_runner(7, -0.0, "REMOVED", adjustmentFactor=12.1, removalDate="2024-05-01T11:00:00.000Z"),
        plain_runner(9, 0.0, sp={"nearPrice": None, "farPrice": None, "actualSP": "NaN",
                                 "backStakeTaken": [], "layLiabilityTaken": []}),
        plain_runner(101, -0.5, adjustmentFactor=30.5, lastPriceTraded=2.0, totalMatched=100.25,
                     ex={"availableToBack": prices((2, 5.5), (1.5, 10), (1.01, 3)),
                         "availableToLay": prices((2.02, 4), (3, 1)),
                         "tradedVolume": prices((1.5, 2), (1.9, 7))},
                     sp={"nearPrice": 3.3, "farPrice": "Infinity", "actualSP": 4.2,
                         "backStakeTaken": prices((2, 1), (4, 6)),
                         "layLiabilityTaken": prices((1.3, 5), (1.1, 2))}),
        plain_runner(101, 0.5),
    ],
    "marketDefinition": {
        "betDelay": 5, "bettingType": "ODDS", "bspMarket": True, "bspReconciled": True, "complete": False,
        "countryCode": "GB", "crossMatching": False, "discountAllowed": True, "eventId": "33123456",
        "eventName": "Ascot 1st May", "eventTypeId": "7", "inPlay": True, "marketBaseRate": 5.0,
        "marketTime": "2024-05-01T13:00:00.000Z", "marketType": "WIN", "name": "2m Hcap",
        "numberOfActiveRunners": 3, "numberOfWinners": 3, "openDate": "2024-05-01T12:00:00Z",
        "persistenceEnabled": False, "regulators": ["MR_INT", "MR_NJ"],
        "runners": [
            {"id": 101, "sortPriority": 1, "status": "ACTIVE", "adjustmentFactor": 30.5, "name": "Alpha",
             "hc": -0.5, "bsp": 4.2},
            {"id": 101, "sortPriority": 2, "status": "ACTIVE", "hc": 0.5},
            {"id": 7, "sortPriority": 3, "status": "REMOVED", "adjustmentFactor": 12.1,
             "removalDate": "2024-05-01T11:00:00.000Z"},
            {"id": 9, "sortPriority": 4, "status": "ACTIVE"},
        ],
        "runnersVoidable": True, "status": "OPEN", "suspendTime": "2024-05-01T13:00:00.123456Z",
        "timezone": "Europe/London", "turnInPlayEnabled": True, "venue": "Ascot", "version": 123456789012,
    },
}
RICH_TIMES = [dt.datetime(2024, 5, 1, 13), dt.datetime(2024, 5, 1, 12),
              dt.datetime(2024, 5, 1, 13, 0, 0, 123456), dt.datetime(2024, 5, 1, 13, 5, 0, 500000)]
