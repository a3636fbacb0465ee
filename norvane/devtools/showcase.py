"""The package at work: loads the configuration and walks a future through its build step."""

import sys


def main() -> int:
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge
    from norvane.kestrum_utils.priceable.futures import Future
    from norvane.kestrum_utils.priceable.spots import CryptoPair

    config = Inibridge().config
    section = config["data_related"]
    print("configuration sections:", ", ".join(config.sections()))
    print("reference data service:", section["InstrumentInfoUrl"])
    print("instrument cache      :", section["LOCAL_DATA_CACHE_DIR"])

    pair = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")
    future = Future("BTC-USDT", pair, "BINANCE", "20261225", Future.SettlementType.cash)
    print("future quote currency :", future.quote_ccy)
    try:
        future.build()
    except NotImplementedError as error:
        print("a plain Future refuses to build:", error)
    else:
        print("error: a plain Future built", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
