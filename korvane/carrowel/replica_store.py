"""The replicas' rendezvous through the coordinator: a torch.distributed.Store whose keys
live in the coordinator (so no replica hosts them, and losing one loses nothing), and
the regroup call that settles a stage's next group after a replica is lost.

gloo and NCCL call a store from their own threads, never from the event loop, so this
one speaks blocking HTTP (http.client), one connection per request. Every request
carries the task's bearer token and the member secret, as the relays do.
"""
import base64
import http.client
import json
import urllib.parse

import torch.distributed as dist

from .replica_group import DEFAULT_TIMEOUT_S, ReplicaGroup, ReplicaGroupError

# Mirrors korvane/protocol/protocol.hpp (kStorePath, kRegroupPath, the header names and
# the store's JSON fields), the one place these literals are defined.
STORE_PATH = "/pipeline/store"
REGROUP_PATH = "/pipeline/regroup"
AUTHORIZATION = "Authorization"
BEARER = "Bearer "
MEMBER_SECRET = "X-Member-Secret"
STATUS_LATE = 504
STATUS_GONE = 410
HTTP_MARGIN_S = 10.0  # beyond a held request's own limit, for the answer to arrive


class CoordinatorError(RuntimeError):
    """The coordinator refused a store or regroup request, or could not be reached."""


class _Coordinator:
    """Blocking JSON exchanges with the coordinator as one member of one task."""

    def __init__(self, url, task_id, trainer_id, token=None, secret=None):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"coordinator URL must be http://host[:port], got {url!r}")
        self._parts = parts
        self.task_id, self.trainer_id = task_id, trainer_id
        self._headers = {"Content-Type": "application/json"}
        if token:
            self._headers[AUTHORIZATION] = BEARER + token
        if secret:
            self._headers[MEMBER_SECRET] = secret

    def post(self, path, body, timeout):
        """(status, answer) of one POST; CoordinatorError when nothing usable came back."""
        body = dict(body, task_id=self.task_id, trainer_id=self.trainer_id)
        cls = http.client.HTTPSConnection if self._parts.scheme == "https" else http.client.HTTPConnection
        conn = cls(self._parts.hostname, self._parts.port, timeout=timeout)
        try:
            conn.request("POST", self._parts.path.rstrip("/") + path, json.dumps(body).encode(), self._headers)
            response = conn.getresponse()
            raw = response.read()
        except OSError as e:
            raise CoordinatorError(f"coordinator unreachable at {self._parts.geturl()}{path}: {e}") from e
        finally:
            conn.close()
        try:
            answer = json.loads(raw) if raw else {}
        except ValueError:
            answer = {}
        if not isinstance(answer, dict):
            answer = {}
        return response.status, answer

    @staticmethod
    def refusal(path, status, answer):
        return f"coordinator answered {status} to {path}: {answer.get('error', 'no reason given')}"


def _b64(value):
    if isinstance(value, str):
        value = value.encode()
    return base64.b64encode(bytes(value)).decode("ascii")


class CoordinatorStore(dist.Store):
    """A torch.distributed.Store over the coordinator's store route (blocking HTTP).

    ``timeout``: seconds a get or wait may hold before it fails (as every store's wait
    does), so a rendezvous with a replica that never comes ends within the limit."""

    def __init__(self, url, task_id, trainer_id, *, token=None, secret=None, timeout=DEFAULT_TIMEOUT_S):
        super().__init__()
        self._coordinator = _Coordinator(url, task_id, trainer_id, token, secret)
        self._wait_s = float(timeout)

    def _op(self, op, held_s=None, **fields):
        body = dict(fields, op=op)
        if held_s is not None:
            body["timeout"] = held_s
        status, answer = self._coordinator.post(STORE_PATH, body, (held_s or 0) + HTTP_MARGIN_S)
        if status == STATUS_LATE:
            raise CoordinatorError(f"store {op} timed out after {held_s} s waiting for {fields.get('key') or fields.get('keys')}")
        if status != 200:
            raise CoordinatorError(_Coordinator.refusal(STORE_PATH, status, answer))
        return answer

    def set(self, key, value):
        self._op("set", key=key, value=_b64(value))

    def get(self, key):
        return base64.b64decode(self._op("get", self._wait_s, key=key)["value"])

    def add(self, key, amount):
        return int(self._op("add", key=key, amount=int(amount))["counter"])

    def compare_set(self, key, expected, desired):
        return base64.b64decode(self._op("compare_set", key=key, expected=_b64(expected),
                                         desired=_b64(desired))["value"])

    def check(self, keys):
        return bool(self._op("check", keys=list(keys))["present"])

    def wait(self, keys, timeout=None):
        held = self._wait_s if timeout is None else _seconds(timeout)
        self._op("wait", held, keys=list(keys))

    def delete_key(self, key):
        return bool(self._op("delete", key=key)["deleted"])

    def num_keys(self):
        return int(self._op("num_keys")["count"])

    def set_timeout(self, timeout):
        self._wait_s = _seconds(timeout)


def _seconds(timeout):
    return timeout.total_seconds() if hasattr(timeout, "total_seconds") else float(timeout)


class CoordinatorRegroup:
    """regroup(generation, error) -> (generation, rank, world_size): the coordinator waits
    for the stage's live replicas to ask, declares the others lost, and answers the next
    group. ReplicaGroupError when this replica's own lane was lost."""

    def __init__(self, url, task_id, trainer_id, *, token=None, secret=None, timeout=60.0):
        self._coordinator = _Coordinator(url, task_id, trainer_id, token, secret)
        self._timeout = float(timeout)
        self.lanes = None  # the live lanes of the last answer

    def __call__(self, generation, error):
        body = {"generation": int(generation)}
        if error:
            body["error"] = str(error)[:1000]
        status, answer = self._coordinator.post(REGROUP_PATH, body, self._timeout)
        if status == STATUS_GONE:
            raise ReplicaGroupError(f"this trainer's lane was lost: {answer.get('error', 'no reason given')}")
        if status != 200:
            raise ReplicaGroupError(_Coordinator.refusal(REGROUP_PATH, status, answer))
        try:
            self.lanes = list(answer.get("lanes", []))
            return int(answer["generation"]), int(answer["rank"]), int(answer["world_size"])
        except (KeyError, TypeError, ValueError) as e:
            raise ReplicaGroupError(f"regroup answer lacks {e}: {answer}") from e


def join_group(*, url, task_id, trainer_id, token, secret, stage, group, device, timeout=DEFAULT_TIMEOUT_S):
    """The ReplicaGroup of stage ``stage`` that a join answer's "group" describes, meeting
    through the coordinator's store and regrouping through its regroup route."""
    try:
        generation, rank, world_size = (int(group[k]) for k in ("generation", "rank", "world_size"))
    except (KeyError, TypeError, ValueError) as e:
        raise ValueError(f"the join answer's group is malformed ({e}): {group!r}") from e
    store = CoordinatorStore(url, task_id, trainer_id, token=token, secret=secret, timeout=timeout)
    regroup = CoordinatorRegroup(url, task_id, trainer_id, token=token, secret=secret)
    return ReplicaGroup(store, rank, world_size, generation=generation, prefix=f"stage/{stage}", device=device,
                        timeout=timeout, regroup=regroup)
