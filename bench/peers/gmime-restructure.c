/* The restructuring done with GMime, for comparison: reads a message, builds a
 * multipart/mixed whose first part is the multipart/alternative of the text parts (wrapped
 * with the signature pictures in a multipart/related), every other leaf part after it as
 * an attachment without its Content-Id, and writes the result.
 *   gmime-restructure IN OUT
 */
#include <gmime/gmime.h>
#include <stdio.h>
#include <string.h>

static GPtrArray *texts, *inlines, *attachments;

static int is_text_body(GMimeObject *part) {
  GMimeContentType *type = g_mime_object_get_content_type(part);
  const char *disposition = g_mime_object_get_disposition(part);
  return g_mime_content_type_is_type(type, "text", "plain") ||
         (g_mime_content_type_is_type(type, "text", "html") && disposition == NULL);
}

static void sort_part(GMimeObject *parent, GMimeObject *part, gpointer data) {
  (void)parent;
  (void)data;
  if (GMIME_IS_MULTIPART(part)) return;
  GMimeContentType *type = g_mime_object_get_content_type(part);
  const char *name = GMIME_IS_PART(part) ? g_mime_part_get_filename(GMIME_PART(part)) : NULL;
  if (is_text_body(part) && g_mime_object_get_disposition(part) == NULL) {
    g_ptr_array_add(texts, part);
  } else if (g_mime_content_type_is_type(type, "image", "*") &&
             (name == NULL || strstr(name, "email-signature") != NULL)) {
    g_ptr_array_add(inlines, part);
  } else {
    g_ptr_array_add(attachments, part);
  }
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: gmime-restructure IN OUT\n");
    return 64;
  }
  g_mime_init();
  GMimeStream *in = g_mime_stream_file_open(argv[1], "r", NULL);
  if (in == NULL) return 66;
  GMimeParser *parser = g_mime_parser_new_with_stream(in);
  GMimeMessage *message = g_mime_parser_construct_message(parser, NULL);
  if (message == NULL) return 65;
  texts = g_ptr_array_new();
  inlines = g_ptr_array_new();
  attachments = g_ptr_array_new();
  g_mime_message_foreach(message, sort_part, NULL);

  GMimeMultipart *mixed = g_mime_multipart_new_with_subtype("mixed");
  GMimeMultipart *alternative = g_mime_multipart_new_with_subtype("alternative");
  for (guint i = 0; i < texts->len; i++) g_mime_multipart_add(alternative, texts->pdata[i]);
  if (inlines->len > 0) {
    GMimeMultipart *related = g_mime_multipart_new_with_subtype("related");
    g_mime_multipart_add(related, GMIME_OBJECT(alternative));
    for (guint i = 0; i < inlines->len; i++) g_mime_multipart_add(related, inlines->pdata[i]);
    g_mime_multipart_add(mixed, GMIME_OBJECT(related));
  } else {
    g_mime_multipart_add(mixed, GMIME_OBJECT(alternative));
  }
  for (guint i = 0; i < attachments->len; i++) {
    GMimeObject *part = attachments->pdata[i];
    g_mime_object_set_disposition(part, "attachment");
    g_mime_object_set_content_id(part, NULL);
    g_mime_object_remove_header(part, "Content-Id");
    g_mime_multipart_add(mixed, part);
  }
  g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));

  GMimeStream *out = g_mime_stream_file_open(argv[2], "w", NULL);
  if (out == NULL) return 73;
  if (g_mime_object_write_to_stream(GMIME_OBJECT(message), NULL, out) < 0) return 74;
  g_mime_stream_flush(out);
  g_object_unref(out);
  return 0;
}
