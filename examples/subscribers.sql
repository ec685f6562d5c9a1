-- The recipients of the example mailing: a table of subscribers.
-- scripts/run-example loads it into a SQLite database and reaches it
-- through the SQLite ODBC driver as the data source "TessalineExample".
CREATE TABLE subscribers (
  id          INTEGER PRIMARY KEY,
  email       TEXT NOT NULL,
  first_name  TEXT,
  city        TEXT,
  active      INTEGER NOT NULL,
  visits      INTEGER NOT NULL
);
INSERT INTO subscribers VALUES (1, 'Ada Lovelace <ada@example.com>',       'Ada',     'London',    1, 3);
INSERT INTO subscribers VALUES (2, 'grace@example.org',                     'Grace',   'Arlington', 1, 0);
INSERT INTO subscribers VALUES (3, 'Alan Turing <alan@example.net>',       'Alan',    'Wilmslow',  1, 7);
INSERT INTO subscribers VALUES (4, 'Edsger <edsger@example.com>',          'Edsger',  'Austin',    0, 2);
INSERT INTO subscribers VALUES (5, 'barbara@example.com',                   'Barbara', 'Boston',    1, 1);
INSERT INTO subscribers VALUES (6, 'Ada again <ada@example.com>',          'Ada',     'London',    1, 3);
INSERT INTO subscribers VALUES (7, 'unsubscribed@example.org',              'Ken',     'Berkeley',  1, 9);
INSERT INTO subscribers VALUES (8, 'not an address',                        'Nobody',  'Nowhere',   1, 0);
