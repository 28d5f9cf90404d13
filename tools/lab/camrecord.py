"""What a simulated camera records of itself for the tests: its phase and address, its boots and restarts, the
XRM queries and acknowledgements, FTP logins, uploads and address takeovers. Written to state.json (atomically)
after every change; the lists keep their last RECORD_LIMIT entries, the counters count on."""

import os

import labcore

RECORD_LIMIT = 2000  # per list in state.json


class CameraRecord:
    def __init__(self, cfg, state_dir, config_path):
        self.cfg = cfg
        self.path = os.path.join(state_dir, "state.json")
        self.config_path = config_path
        self.phase = "starting"
        self.addr = None  # current IPv4 address text, or None
        self.prefixlen = 24
        self.kept = None  # address taken by ICMP; survives restarts
        self.lease = None
        self.boots = 0
        self.restarts = 0
        self.queries = []
        self.acks = []
        self.query_count = 0
        self.ack_count = 0
        self.takeovers = []
        self.uploads = 0
        self.logins = []

    def save(self):
        labcore.write_json(
            self.path,
            {
                "name": self.cfg["name"],
                "mac": self.cfg["mac"],
                "pid": os.getpid(),
                "phase": self.phase,
                "address": self.addr,
                "prefixlen": self.prefixlen if self.addr else None,
                "kept_address": self.kept,
                "lease": self.lease,
                "boots": self.boots,
                "restarts": self.restarts,
                "config_ini": self.config_path,
                "uploads": self.uploads,
                "ftp_logins": self.logins[-RECORD_LIMIT:],
                "xrm_query_count": self.query_count,
                "xrm_queries": self.queries[-RECORD_LIMIT:],
                "xrm_ack_count": self.ack_count,
                "xrm_acks": self.acks[-RECORD_LIMIT:],
                "takeovers": self.takeovers,
            },
        )
