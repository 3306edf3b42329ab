// The page library's only source: its content is the resources Qt compiles into it.
namespace OmbrixWebPage {
int Linked = 0;
}
