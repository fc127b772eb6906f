"""Shared pieces of the Orvane benchmarks in bench/."""
