#!/bin/sh
# The CGI program a web server runs for each update request: update-server on the lab's catalogue.
# Install as /usr/lib/cgi-bin/corvane-update and set the catalogue folder below. Let the web
# server's user write the catalogue's version index (and nothing else of the catalogue):
#   install -d -o www-data -g www-data /srv/corvane-catalogue/.update-server-index
# so a request need not decompress every build of a module to list it; without that folder each
# request is still answered, only more slowly.
exec /usr/bin/update-server --cgi /srv/corvane-catalogue
