import pytest

from serve import checking_script, lua_string, parse_wrk

WRK_OUTPUT = """Running 15s test @ http://127.0.0.1:8080/v1/embeddings
  2 threads and 64 connections
  Thread Stats   Avg      Stdev     Max   +/- Stdev
    Latency     4.72ms    3.07ms  42.13ms   93.44%
  Latency Distribution
     50%  {p50}
     75%    5.10ms
     90%    7.00ms
     99%  {p99}
  215727 requests in 15.00s, 421.12MB read
  Socket errors: connect 0, read 3, write 0, timeout 0
  Non-2xx or 3xx responses: 1003
Requests/sec:  14381.78
Transfer/sec:     28.07MB
"""


@pytest.mark.parametrize(
    "p50, p99, expected",
    [
        ("812.00us", "21.52ms", (0.812, 21.52)),
        ("4.02ms", "1.20s", (4.02, 1200.0)),
    ],
)
def test_wrk_latencies_in_milliseconds(p50, p99, expected):
    result = parse_wrk(WRK_OUTPUT.format(p50=p50, p99=p99))
    assert (result["p50"], result["p99"]) == pytest.approx(expected)
    assert result["rps"] == 14381.78
    assert result["non2xx"] == 1003
    assert result["socket_errors"] == "connect 0, read 3, write 0, timeout 0"


def test_lua_strings_hold_bodies_verbatim():
    body = b'{"input": "a \\"quoted\\" [[text]]\\n"}'
    assert lua_string(body) == "[==[" + body.decode() + "]==]"
    with pytest.raises(AssertionError):
        lua_string(b"]==]")
    script = checking_script([(b'{"input": "x"}', b'{"data": 1}')], [(b"{", b'{"error": 2}', 400)])
    assert '{[==[{"input": "x"}]==], [==[{"data": 1}]==]}' in script
    assert '{[==[{]==], [==[{"error": 2}]==], 400}' in script
