// Looks texts up in one of the compiled catalogues of catalogues.js as gettext
// does: a text in a context is found under "context\u0004text", a text with
// plural forms under its singular, as the list of its forms, of which the
// catalogue's own plural rule (from its Plural-Forms) picks one. Where the
// catalogue has no translation, the English text, singular for one.
(function (root) {
  "use strict";

  var CONTEXT_GLUE = "\u0004";

  function own(texts, key) {
    return Object.prototype.hasOwnProperty.call(texts, key) ? texts[key] : undefined;
  }

  root.vornGettext = function (catalogue) {
    var texts = (catalogue && catalogue.texts) || {};
    var plural = (catalogue && catalogue.plural) || function (n) {
      return n === 1 ? 0 : 1;
    };
    var count = (catalogue && catalogue.nplurals) || 2;

    function single(key, text) {
      var found = own(texts, key);
      return typeof found === "string" ? found : text;
    }

    function plurals(key, singular, pluralText, n) {
      var forms = own(texts, key);
      var whole = Math.floor(Math.abs(Number(n) || 0));
      if (Array.isArray(forms)) {
        var index = plural(whole);
        // As GNU gettext: a rule that points past the forms takes the first.
        if (!(index >= 0 && index < count && index < forms.length)) index = 0;
        return forms[index];
      }
      return whole === 1 ? singular : pluralText;
    }

    return {
      gettext: function (text) {
        return single(text, text);
      },
      pgettext: function (context, text) {
        return single(context + CONTEXT_GLUE + text, text);
      },
      ngettext: function (singular, pluralText, n) {
        return plurals(singular, singular, pluralText, n);
      },
      npgettext: function (context, singular, pluralText, n) {
        return plurals(context + CONTEXT_GLUE + singular, singular, pluralText, n);
      }
    };
  };
})(typeof window !== "undefined" ? window : globalThis);
