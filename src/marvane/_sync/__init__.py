"""``marvane sync``: keep a store current from the data service, for a scheduler.

Settings come from a small TOML file and the command line (the command line wins). The
token comes from the environment or from a file only its owner may read, never from the
command line, and is never printed. One run logs in once, then syncs each category in turn:
a pivot category from its latest stored month (or ``--start``) to today (or ``--end``), plus
every earlier month the service holds that the store lacks or cannot read (a damaged file is
moved aside into the category's ``.damaged`` folder first), an unstack category whole. A
category that fails is reported and the others are still tried. A lock file in the store keeps
two runs from writing one store at once. Every reply of the service is awaited at most
``--timeout`` seconds; SIGTERM and SIGINT end the run once the writes under way are done.

One module a concern: ``settings`` (file, command line, token), ``plans`` (what the service
and the store hold, and what to fetch), ``run`` (a plan carried out), ``guards`` (lock, output,
timeout, signals), ``lines`` (what is printed) and ``command`` (one whole run).
"""

from marvane._sync.command import (EXIT_FAILED, EXIT_LOCKED, EXIT_OK, EXIT_USAGE, client_class,
                                   main, sync)
from marvane._sync.guards import EXIT_SIGNALLED, StoreLocked, store_lock
from marvane._sync.plans import Outcome, Plan, make_plans, remote_categories
from marvane._sync.settings import (TOKEN_ENV, Settings, UsageError, add_parser, load_config,
                                    read_token, resolve_settings)

__all__ = ["EXIT_FAILED", "EXIT_LOCKED", "EXIT_OK", "EXIT_SIGNALLED", "EXIT_USAGE", "Outcome",
           "Plan", "Settings", "StoreLocked", "TOKEN_ENV", "UsageError", "add_parser",
           "client_class", "load_config", "main", "make_plans", "read_token", "remote_categories",
           "resolve_settings", "store_lock", "sync"]
