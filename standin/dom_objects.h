#pragma once
// Automation objects over the document model: what a program sees of a page through IDispatch.
//
// Every object carries type information (GetTypeInfo gives an interface type info on which
// GetTypeComp + ITypeComp::Bind find the members by name), and Invoke takes the member ids found
// there. Members, by object:
//
//   document    "body", "all", "URL", "title", "readyState" (property-get);
//               "getElementById"(id) (function). QueryInterface also answers IHTMLDocument.
//   element     "type", "name", "id", "title", "href", "innerText", "className", "innerHTML",
//               "outerHTML", "value", "tagName", "all", "parentElement", "checked" (property-get);
//               "value", "innerHTML" (property-put); "click"(), "getAttribute"(name) (functions).
//   collection  "length" (property-get); "item"(index), "tags"(name) (functions). "item" takes a
//               0-based position (any number type, VT_R8 included) or an id or name; out of range
//               it gives a null object.
//
// Texts travel as BSTRs. The same element always gives the same object while any reference to it
// lives; a collection is live (it sees later changes of the page).

#include <windows.h>
#include <oaidl.h>

#include <memory>

#include "standin/document.h"

namespace standin {

// A new reference to the document's object; the caller releases it.
IDispatch* GetDocumentObject(const std::shared_ptr<Document>& document);
// A new reference to an element's object (element must belong to document); the caller releases it.
IDispatch* GetElementObject(const std::shared_ptr<Document>& document, Node* element);

// The document behind an object of this model (a document or element object), or null.
std::shared_ptr<Document> DocumentOfObject(IUnknown* object);

// The type information of each kind of object, shared by every engine's objects.
ITypeInfo* ElementTypeInfo();
ITypeInfo* CollectionTypeInfo();
ITypeInfo* DocumentTypeInfo();

// Automation objects alive in this module (the model's and Chromium's alike), and the sum of their
// reference counts: once every holder has let go, both are back where they were.
long LiveObjectCount();
long LiveReferenceCount();
// Calls made on the module's automation objects (IDispatch::Invoke) since it was loaded: what a
// program's use of a page costs, for the benchmarks.
long InvokeCount();

}  // namespace standin
