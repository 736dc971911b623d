"""An offline stand-in for the cloud side: a synthetic A-share market, the
factor service that answers from it, and a benchmark data package served over
HTTP on 127.0.0.1."""

from mirtaly.sandbox.market import (
    COMPONENT_PREFIX,
    INDEX_TIERS,
    SIZES,
    SandboxMarket,
    generate_market,
    market_of_size,
    trading_sessions,
)

__all__ = [
    "COMPONENT_PREFIX",
    "INDEX_TIERS",
    "SIZES",
    "SandboxMarket",
    "generate_market",
    "market_of_size",
    "trading_sessions",
]
