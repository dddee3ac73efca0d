# Installation is completed once the tool and backends exist.
