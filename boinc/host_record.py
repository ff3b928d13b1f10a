"""Each host's record of proof counts, kept by the validator in an SQLite file
of its own: per host, how many results and the sum of their signed deviations
(the pooled proof count's distance from its expectation, in its standard
deviations). An honest host's sum wanders like sqrt(results); one that skips a
share of every range drifts away linearly, and is flagged once the sum lies
HOST_SIGMAS standard deviations of the sum from zero. Also the host of a
result, from the project's database."""

import math
import os
import re
import sqlite3
import subprocess

# About 6 in 10 million honest results would be flagged at any one check;
# a host skipping 3 % at 3,000 proof k per result gets there in about 10.
HOST_SIGMAS = 5.0

SCHEMA = """
create table if not exists hosts (host text primary key, results integer not null, deviation real not null,
                                  flagged text);
create table if not exists results (result text primary key, host text not null, deviation real not null);
"""


class HostRecord:
    """The record in one SQLite file (made where missing)."""

    def __init__(self, path):
        self.connection = sqlite3.connect(path, timeout=60, isolation_level=None)
        self.connection.executescript(SCHEMA)

    def add(self, host, result, deviation):
        """Adds a result's deviation to its host's record, once per result
        (BOINC may judge a result again). Returns (results, sum, flagged,
        newly): newly is true for the result that crossed the bound."""
        db = self.connection
        db.execute("begin immediate")
        try:
            newly = False
            if db.execute("select 1 from results where result = ?", (result,)).fetchone() is None:
                db.execute("insert into results values (?, ?, ?)", (result, host, deviation))
                db.execute("insert or ignore into hosts values (?, 0, 0.0, null)", (host,))
                db.execute("update hosts set results = results + 1, deviation = deviation + ? where host = ?",
                           (deviation, host))
                results, total, flagged = db.execute("select results, deviation, flagged from hosts where host = ?",
                                                     (host,)).fetchone()
                if flagged is None and abs(total) >= HOST_SIGMAS * math.sqrt(results):
                    db.execute("update hosts set flagged = ? where host = ?", (result, host))
                    newly = True
            row = db.execute("select results, deviation, flagged from hosts where host = ?", (host,)).fetchone()
            db.execute("commit")
        except BaseException:
            db.execute("rollback")
            raise
        results, total, flagged = row if row else (0, 0.0, None)
        return results, total, flagged is not None, newly

    def close(self):
        self.connection.close()


def describe(host, results, total):
    return ("host %s: %d result(s), their deviations summing to %.1f, %.1f standard deviations of the sum (bound %.0f)"
            % (host, results, total, total / math.sqrt(results), HOST_SIGMAS))


def database_settings(config_path):
    """The project database's name, host, user and password from the project's config.xml."""
    with open(config_path) as f:
        text = f.read()
    settings = {}
    for tag in ("db_name", "db_host", "db_user", "db_passwd"):
        m = re.search(r"<%s>\s*([^<]*?)\s*</%s>" % (tag, tag), text)
        settings[tag] = m.group(1) if m else ""
    if not settings["db_name"]:
        raise OSError("%s names no <db_name>" % config_path)
    return settings


def host_of_result(result_id, config_path):
    """The host that returned the result of this id, as the project's database
    records it (through the mysql client, the password in its environment)."""
    settings = database_settings(config_path)
    command = ["mysql", "--batch", "--skip-column-names", "--database", settings["db_name"],
               "--execute", "select hostid from result where id = %d" % int(result_id)]
    if settings["db_host"]:
        command += ["--host", settings["db_host"]]
    if settings["db_user"]:
        command += ["--user", settings["db_user"]]
    environment = dict(os.environ, MYSQL_PWD=settings["db_passwd"])
    try:
        done = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise OSError("the project's database cannot be asked: %s" % error)
    answer = done.stdout.strip()
    if done.returncode != 0 or not answer.isdigit():
        raise OSError("the project's database names no host for result %s: %s"
                      % (result_id, (done.stderr.strip() or answer or "no answer")))
    return answer
