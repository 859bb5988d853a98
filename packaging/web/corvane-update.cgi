#!/bin/sh
# The CGI program a web server runs for each update request: update-server on the lab's catalogue.
# Install as /usr/lib/cgi-bin/corvane-update and set the catalogue folder below.
exec /usr/bin/update-server --cgi /srv/corvane-catalogue
